#include "kernel/explain.h"

#include <algorithm>

#include "kernel/prescribe.h"

namespace morvatel {

namespace {

// The value a gate measured and the limit it held it to.
void describe_gate(GateKind gate, const KernelInput& in, const KernelModel& m,
                   CandidateExplanation& out) {
  switch (gate) {
    case GateKind::Disabled:
      out.measured = 0;
      out.limit = 1;
      return;
    case GateKind::Quality:
      out.measured = m.quality_bps;
      out.limit = in.minimum_quality_bps;
      return;
    case GateKind::Latency:
      out.measured = m.p95_latency_ms;
      out.limit = in.max_p95_latency_ms;
      return;
    case GateKind::Capability:
      out.measured = m.capabilities;
      out.limit = in.required_capabilities;
      return;
    case GateKind::ProviderUnrepresentable:
      out.measured = m.provider_id;
      out.limit = kMaxProviderId;
      return;
    case GateKind::ProviderNotAllowed:
      out.measured = m.provider_id;
      out.limit = in.allowed_provider_mask;
      return;
    case GateKind::Region:
      out.measured = m.region_mask;
      out.limit = in.required_region_mask;
      return;
    case GateKind::RiskCeiling:
      out.measured = in.risk_bps;
      out.limit = m.risk_ceiling_bps;
      return;
  }
}

}  // namespace

std::string_view gate_name(GateKind gate) {
  switch (gate) {
    case GateKind::Disabled: return "Disabled";
    case GateKind::Quality: return "Quality";
    case GateKind::Latency: return "Latency";
    case GateKind::Capability: return "Capability";
    case GateKind::ProviderUnrepresentable: return "ProviderUnrepresentable";
    case GateKind::ProviderNotAllowed: return "ProviderNotAllowed";
    case GateKind::Region: return "Region";
    case GateKind::RiskCeiling: return "RiskCeiling";
  }
  return "";
}

std::string_view status_name(CandidateStatus status) {
  switch (status) {
    case CandidateStatus::Rejected: return "rejected";
    case CandidateStatus::OverBudget: return "over_budget";
    case CandidateStatus::NonPositiveUtility: return "non_positive_utility";
    case CandidateStatus::Eligible: return "eligible";
  }
  return "";
}

Explanation explain(const PolicySnapshot& snapshot, const KernelInput& input) {
  Explanation out{prescribe_inner(snapshot, input).decision, {}};
  if (out.decision.reason == KernelReason::RiskHardLimit ||
      out.decision.reason == KernelReason::ConfidenceHardLimit) {
    return out;
  }
  const RequestContext ctx = make_request_context(snapshot, input);
  const std::span<const KernelModel> models = snapshot.models();
  out.candidates.reserve(models.size());
  for (size_t i = 0; i < models.size(); ++i) {
    const KernelModel& m = models[i];
    const Evaluation e = evaluate_model(ctx, m);
    CandidateExplanation c;
    c.model_id = m.model_id;
    c.model_index = static_cast<uint16_t>(std::min<size_t>(i, 65535));
    if (is_gate(e.verdict)) {
      c.status = CandidateStatus::Rejected;
      c.gate = static_cast<GateKind>(e.verdict);
      describe_gate(c.gate, input, m, c);
    } else if (e.verdict == Verdict::OverBudget) {
      c.status = CandidateStatus::OverBudget;
      c.cost = e.cost;
      c.budget = input.budget_limit_microunits;
    } else {
      c.status = e.verdict == Verdict::Eligible ? CandidateStatus::Eligible
                                                : CandidateStatus::NonPositiveUtility;
      c.cost = e.cost;
      c.breakdown = UtilityBreakdown{e.quality_adjusted, ctx.risk_penalty, e.latency_penalty,
                                     e.cost, e.utility};
    }
    out.candidates.push_back(c);
  }
  return out;
}

}  // namespace morvatel
