"""A short tour of morvatel._core: decide, verify, record an outcome, settle money."""

import morvatel._core as core


def model(model_id, quality_bps, latency_ms, input_price, output_price):
    return core.KernelModel(
        model_id=model_id, provider_id=1, quality_bps=quality_bps, risk_ceiling_bps=8000,
        enabled=1, p95_latency_ms=latency_ms, capabilities=0b11, region_mask=0b1,
        input_cost_microunits_per_million_tokens=input_price,
        output_cost_microunits_per_million_tokens=output_price,
    )


policy = core.PolicySnapshot(
    policy_epoch=3, catalog_epoch=12, hard_risk_limit_bps=9000, minimum_confidence_bps=2000,
    risk_penalty_multiplier_bps=10000, latency_penalty_microunits_per_ms=2,
    models=[model(7, 9200, 900, 3_000_000, 15_000_000), model(4, 8800, 400, 500_000, 1_500_000)],
)
request = core.KernelInput(
    request_sequence=1, requested_model_id=7, input_tokens=1200, output_tokens=300,
    business_value_microunits=50_000, budget_limit_microunits=20_000,
    risk_bps=1500, confidence_bps=9000, minimum_quality_bps=8000, max_p95_latency_ms=2000,
    required_capabilities=0b01, allowed_provider_mask=core.ALL_PROVIDERS,
    required_region_mask=0,
)

print(policy)
print("fingerprint:", policy.fingerprint())
decision = policy.prescribe(request)
print(decision)
print("decision:", decision.as_dict())
print("replay:", policy.verify(request, decision))
print("audit bundle:", policy.verified_audit_bundle(request, decision))
for candidate in policy.explain(request):
    print("  ", candidate)

outcome = core.Outcome.applied(
    policy, request, decision, observed_at_micros=1_760_000_000_000_000,
    observation=core.Observation(realized_cost_microunits=1_650, realized_latency_ms=380,
                                 succeeded=True),
)
outcome.validate_against(policy, request, decision)
print(outcome, "digest", outcome.digest[:16] + "...")

engine = core.BudgetEngine()
engine.ensure_tenant("acme", 100 * core.MICROCENTS_PER_CENT)
reservation = engine.try_reserve("acme", decision.estimated_cost_microunits * 100)
print("reserve:", reservation)
print("commit:", engine.commit(reservation["reservation_id"], 165_000))
print("certificate:", engine.certify())

print("build:", core.BUILD_COMMIT_SHA[:12], "dirty" if core.BUILD_DIRTY else "clean",
      "verified" if core.BUILD_IDENTITY_VERIFIED else "unverified")
