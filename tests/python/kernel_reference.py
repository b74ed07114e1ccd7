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


GATE_KIND = {"disabled": "Disabled", "quality": "Quality", "latency": "Latency",
             "capability": "Capability", "region": "Region", "risk_ceiling": "RiskCeiling"}


def explain(snap, inp):
    """One (status, gate, measured, limit, cost, quality_adjusted, risk_penalty,
    latency_penalty, utility) tuple per model, None where a field does not apply."""
    if inp.risk_bps >= snap.hard_risk_limit_bps or \
            inp.confidence_bps < snap.minimum_confidence_bps:
        return []
    value = max(inp.business_value_microunits, 0)
    risk = value * inp.risk_bps * snap.risk_penalty_multiplier_bps // 10**8
    out = []
    for m in snap.models():
        gate, c, u = evaluate(snap, inp, m)
        if gate == "provider":
            if m.provider_id > 63:
                out.append(("rejected", "ProviderUnrepresentable", m.provider_id, 63)
                           + (None,) * 5)
            else:
                out.append(("rejected", "ProviderNotAllowed", m.provider_id,
                            inp.allowed_provider_mask) + (None,) * 5)
        elif gate in GATE_KIND:
            measured, limit = {
                "disabled": (0, 1),
                "quality": (m.quality_bps, inp.minimum_quality_bps),
                "latency": (m.p95_latency_ms, inp.max_p95_latency_ms),
                "capability": (m.capabilities, inp.required_capabilities),
                "region": (m.region_mask, inp.required_region_mask),
                "risk_ceiling": (inp.risk_bps, m.risk_ceiling_bps),
            }[gate]
            out.append(("rejected", GATE_KIND[gate], measured, limit) + (None,) * 5)
        elif gate == "budget":
            out.append(("over_budget", None, None, inp.budget_limit_microunits, c)
                       + (None,) * 4)
        else:
            quality = value * inp.confidence_bps * m.quality_bps // 10**8
            latency = m.p95_latency_ms * snap.latency_penalty_microunits_per_ms
            status = "non_positive_utility" if gate else "eligible"
            out.append((status, None, None, None, c, quality, risk, latency, u))
    return out


# --- counterfactual probes: the real rules re-run on changed catalogues ---

MODEL_FIELDS = ("model_id", "provider_id", "quality_bps", "risk_ceiling_bps", "enabled",
                "p95_latency_ms", "capabilities", "region_mask",
                "input_cost_microunits_per_million_tokens",
                "output_cost_microunits_per_million_tokens")
SNAPSHOT_FIELDS = ("policy_epoch", "catalog_epoch", "hard_risk_limit_bps",
                   "minimum_confidence_bps", "risk_penalty_multiplier_bps",
                   "latency_penalty_microunits_per_ms")


class _Record:
    def __init__(self, **fields):
        self.__dict__.update(fields)


class _Snapshot(_Record):
    def models(self):
        return self.catalogue


def _probe(snap, inp, index, changes):
    catalogue = [_Record(**{f: getattr(m, f) for f in MODEL_FIELDS}) for m in snap.models()]
    catalogue[index].__dict__.update(changes)
    probe = _Snapshot(catalogue=catalogue, **{f: getattr(snap, f) for f in SNAPSHOT_FIELDS})
    return prescribe(probe, inp)[0]


def _selects(decision, model_id):
    return decision["action"] != "reject" and decision["selected_model_id"] == model_id


def _smallest(lo, hi, ok):
    while lo < hi:
        mid = lo + (hi - lo) // 2
        if ok(mid):
            hi = mid
        else:
            lo = mid + 1
    return lo


def _largest(lo, hi, ok):
    while lo < hi:
        mid = lo + (hi - lo + 1) // 2
        if ok(mid):
            lo = mid
        else:
            hi = mid - 1
    return lo


def _scaled(m, s):
    return dict(input_cost_microunits_per_million_tokens=min(
                    m.input_cost_microunits_per_million_tokens * s // 10**6, U64),
                output_cost_microunits_per_million_tokens=min(
                    m.output_cost_microunits_per_million_tokens * s // 10**6, U64))


def _lever(name, current, boundary, cost=None):
    return dict(lever=name, current=current, boundary=boundary,
                cost_at_boundary_microunits=cost)


def what_would_win(snap, inp, model_id):
    models = snap.models()
    index = next((i for i, m in enumerate(models) if m.model_id == model_id), None)
    if index is None:
        return None
    m = models[index]
    decision = prescribe(snap, inp)[0]
    out = dict(model_id=model_id, selected_model_id=decision["selected_model_id"],
               blocked_by_request=None, levers=[])
    if decision["reason"] in ("risk_hard_limit", "confidence_hard_limit"):
        out["blocked_by_request"] = decision["reason"]
        return out
    if _selects(decision, model_id):
        return out

    def ok(changes):
        return _selects(_probe(snap, inp, index, changes), model_id)

    levers = out["levers"]
    if m.enabled == 0:
        if ok(dict(enabled=1)):
            levers.append(_lever("enabled", 0, 1))
        return out
    if m.quality_bps <= 10000 and ok(dict(quality_bps=10000)):
        levers.append(_lever("quality_bps", m.quality_bps, _smallest(
            m.quality_bps, 10000, lambda v: ok(dict(quality_bps=v)))))
    if ok(dict(p95_latency_ms=0)):
        levers.append(_lever("p95_latency_ms", m.p95_latency_ms, _largest(
            0, m.p95_latency_ms, lambda v: ok(dict(p95_latency_ms=v)))))
    if ok(_scaled(m, 0)):
        b = _largest(0, 10**6, lambda s: ok(_scaled(m, s)))
        cost = _probe(snap, inp, index, _scaled(m, b))["estimated_cost_microunits"]
        levers.append(_lever("price_scale_ppm", 10**6, b, cost))
    if m.risk_ceiling_bps <= 10000 and ok(dict(risk_ceiling_bps=10000)):
        levers.append(_lever("risk_ceiling_bps", m.risk_ceiling_bps, _smallest(
            m.risk_ceiling_bps, 10000, lambda v: ok(dict(risk_ceiling_bps=v)))))
    return out


def decision_margin(snap, inp):
    decision = prescribe(snap, inp)[0]
    if decision["action"] == "reject":
        return None
    models = snap.models()
    winner = decision["selected_model_id"]
    index = next(i for i, m in enumerate(models) if m.model_id == winner)
    m = models[index]

    def ok(changes):
        return _selects(_probe(snap, inp, index, changes), winner)

    levers = [_lever("quality_bps", m.quality_bps,
                     _smallest(0, m.quality_bps, lambda v: ok(dict(quality_bps=v))))]
    if not ok(dict(p95_latency_ms=2**32 - 1)):
        levers.append(_lever("p95_latency_ms", m.p95_latency_ms, _largest(
            m.p95_latency_ms, 2**32 - 1, lambda v: ok(dict(p95_latency_ms=v)))))
    thousandfold = dict(input_cost_microunits_per_million_tokens=min(
                            m.input_cost_microunits_per_million_tokens * 1000, U64),
                        output_cost_microunits_per_million_tokens=min(
                            m.output_cost_microunits_per_million_tokens * 1000, U64))
    if not ok(thousandfold):
        b = _largest(10**6, 10**9, lambda s: ok(_scaled(m, s)))
        cost = _probe(snap, inp, index, _scaled(m, b))["estimated_cost_microunits"]
        levers.append(_lever("price_scale_ppm", 10**6, b, cost))
    if not ok(dict(risk_ceiling_bps=0)):
        levers.append(_lever("risk_ceiling_bps", m.risk_ceiling_bps, _smallest(
            0, m.risk_ceiling_bps, lambda v: ok(dict(risk_ceiling_bps=v)))))
    return dict(model_id=winner, levers=levers)
