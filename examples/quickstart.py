"""A short tour of morvatel._core: build a request and a catalogue entry."""

import morvatel._core as core

model = core.KernelModel(
    model_id=7, provider_id=1, quality_bps=9200, risk_ceiling_bps=8000, enabled=1,
    p95_latency_ms=900, capabilities=0b11, region_mask=0b1,
    input_cost_microunits_per_million_tokens=3_000_000,
    output_cost_microunits_per_million_tokens=15_000_000,
)
request = core.KernelInput(
    request_sequence=1, requested_model_id=7, input_tokens=1200, output_tokens=300,
    business_value_microunits=50_000, budget_limit_microunits=20_000,
    risk_bps=1500, confidence_bps=9000, minimum_quality_bps=8000, max_p95_latency_ms=2000,
    required_capabilities=0b01, allowed_provider_mask=core.ALL_PROVIDERS,
    required_region_mask=0,
)

print(model)
print(request)
print("request fields:", request.as_dict())
print("build:", core.BUILD_COMMIT_SHA[:12], "dirty" if core.BUILD_DIRTY else "clean",
      "verified" if core.BUILD_IDENTITY_VERIFIED else "unverified")
try:
    request.risk_bps = 20_000  # setters store; every entry point re-checks
    core.KernelInput(**{**request.as_dict(), "risk_bps": 20_000})
except ValueError as e:
    print("refused:", e)
