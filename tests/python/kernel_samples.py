"""Small builders for kernel values, with defaults that select cleanly.

Every keyword overrides one field, so a test names only what it is about.
"""

from morvatel._core import ALL_PROVIDERS, KernelInput, KernelModel, PolicySnapshot


def model(model_id, **kw):
    fields = dict(provider_id=1, quality_bps=9000, risk_ceiling_bps=8000, enabled=1,
                  p95_latency_ms=100, capabilities=0, region_mask=1,
                  input_cost_microunits_per_million_tokens=1000,
                  output_cost_microunits_per_million_tokens=1000)
    fields.update(kw)
    return KernelModel(model_id=model_id, **fields)


def request(**kw):
    fields = dict(request_sequence=1, requested_model_id=0, input_tokens=1000,
                  output_tokens=1000, business_value_microunits=1_000_000,
                  budget_limit_microunits=1_000_000, risk_bps=100, confidence_bps=9000,
                  minimum_quality_bps=0, max_p95_latency_ms=0, required_capabilities=0,
                  allowed_provider_mask=ALL_PROVIDERS, required_region_mask=0)
    fields.update(kw)
    return KernelInput(**fields)


def snapshot(models, **kw):
    params = dict(policy_epoch=3, catalog_epoch=4, hard_risk_limit_bps=9000,
                  minimum_confidence_bps=1000, risk_penalty_multiplier_bps=10000,
                  latency_penalty_microunits_per_ms=1)
    params.update(kw)
    return PolicySnapshot(models=models, **params)
