"""An independent model of the prescription, in Python's unbounded integers.

Written from the published rules rather than from the extension's code, so
the tests can compare the two on arbitrary values, wide ones included.
"""

U64 = 2**64 - 1
I64_MIN, I64_MAX = -(2**63), 2**63 - 1

GATES = ("disabled", "quality", "risk_ceiling", "latency", "capability", "provider", "region",
         "budget", "utility")


def first_gate(inp, m):
    if m.enabled == 0:
        return "disabled"
    if m.quality_bps < inp.minimum_quality_bps:
        return "quality"
    if inp.max_p95_latency_ms != 0 and m.p95_latency_ms > inp.max_p95_latency_ms:
        return "latency"
    if inp.required_capabilities & ~m.capabilities:
        return "capability"
    if m.provider_id > 63 or (inp.allowed_provider_mask != U64
                              and not (inp.allowed_provider_mask >> m.provider_id) & 1):
        return "provider"
    if inp.required_region_mask and not inp.required_region_mask & m.region_mask:
        return "region"
    if inp.risk_bps > m.risk_ceiling_bps:
        return "risk_ceiling"
    return None


def cost(inp, m):
    c = -(-inp.input_tokens * m.input_cost_microunits_per_million_tokens // 10**6)
    c += -(-inp.output_tokens * m.output_cost_microunits_per_million_tokens // 10**6)
    return min(c, U64)


def evaluate(snap, inp, m):
    """(gate, cost, utility) for one model; gate is None when eligible."""
    gate = first_gate(inp, m)
    if gate:
        return gate, None, None
    c = cost(inp, m)
    if c > inp.budget_limit_microunits:
        return "budget", c, None
    value = max(inp.business_value_microunits, 0)
    risk = value * inp.risk_bps * snap.risk_penalty_multiplier_bps // 10**8
    quality = value * inp.confidence_bps * m.quality_bps // 10**8
    latency = m.p95_latency_ms * snap.latency_penalty_microunits_per_ms
    u = max(I64_MIN, min(I64_MAX, quality - (risk + c + latency)))
    if u <= 0:
        return "utility", c, u
    return None, c, u


REASON_OF_GATE = {
    "capability": "capability_constraint", "region": "region_constraint",
    "provider": "provider_constraint", "quality": "quality_constraint",
    "risk_ceiling": "risk_ceiling_constraint", "latency": "latency_constraint",
    "budget": "budget_constraint", "utility": "non_positive_utility",
    "disabled": "no_enabled_model",
}


def prescribe(snap, inp):
    """(decision dict without codes, trace dict) as the kernel defines them."""
    base = dict(request_sequence=inp.request_sequence, action="reject", selected_model_id=0,
                selected_model_index=65535, estimated_cost_microunits=0,
                expected_utility_microunits=0, counterfactual_model_id=0,
                counterfactual_utility_microunits=0, evaluated_models=0, eligible_models=0,
                policy_epoch=snap.policy_epoch, catalog_epoch=snap.catalog_epoch)
    trace = dict.fromkeys(GATES, 0)
    if inp.risk_bps >= snap.hard_risk_limit_bps:
        return dict(base, reason="risk_hard_limit"), trace
    if inp.confidence_bps < snap.minimum_confidence_bps:
        return dict(base, reason="confidence_hard_limit"), trace
    ranked = []
    for i, m in enumerate(snap.models()):
        gate, c, u = evaluate(snap, inp, m)
        if gate:
            trace[gate] += 1
        else:
            ranked.append((-u, c, -m.quality_bps, m.model_id, i))
    base["evaluated_models"] = min(len(snap.models()), 65535)
    if not ranked:
        choice = "capability"
        for g in ("region", "provider", "quality", "risk_ceiling", "latency", "budget", "utility",
                  "disabled"):
            if trace[g] >= trace[choice]:
                choice = g
        reason = REASON_OF_GATE[choice] if trace[choice] else "no_enabled_model"
        return dict(base, reason=reason), trace
    ranked.sort()
    best = ranked[0]
    d = dict(base, selected_model_id=best[3], selected_model_index=best[4],
             estimated_cost_microunits=best[1], expected_utility_microunits=-best[0],
             eligible_models=len(ranked))
    if best[3] == inp.requested_model_id:
        d.update(action="execute_requested", reason="requested_model_maximizes_utility")
    else:
        d.update(action="substitute", reason="alternative_maximizes_utility")
    if len(ranked) > 1:
        d.update(counterfactual_model_id=ranked[1][3],
                 counterfactual_utility_microunits=-ranked[1][0])
    return d, trace
