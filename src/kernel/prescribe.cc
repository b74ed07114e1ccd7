#include "kernel/prescribe.h"

#include <algorithm>

namespace morvatel {

namespace {

// A ranked model: its utility, its cost and its catalogue position. Quality
// and id, needed only to break exact ties, are read from the catalogue then.
// A utility of 0 marks "no candidate": every ranked model has a positive one.
struct Candidate {
  int64_t utility = 0;
  uint64_t cost = 0;
  size_t index = 0;
};

struct Ranking {
  std::span<const KernelModel> models;
  Candidate best;
  Candidate second;

  // Higher utility, then lower cost, then higher quality, then lower id. An
  // empty slot (utility 0) ranks below every candidate.
  bool ranks_above(const Candidate& a, const Candidate& b) const {
    if (a.utility != b.utility) return a.utility > b.utility;
    if (a.cost != b.cost) return a.cost < b.cost;
    const KernelModel& ma = models[a.index];
    const KernelModel& mb = models[b.index];
    if (ma.quality_bps != mb.quality_bps) return ma.quality_bps > mb.quality_bps;
    return ma.model_id < mb.model_id;
  }

  void offer(const Candidate& c) {
    if (ranks_above(c, best)) {
      second = best;
      best = c;
    } else if (ranks_above(c, second)) {
      second = c;
    }
  }
  bool has_best() const { return best.utility > 0; }
  bool has_second() const { return second.utility > 0; }
};

// One pass over the catalogue. Counts are kept per verdict in 32 bits and
// saturated once at the end.
template <bool kFast>
void rank_catalog(const RequestContext& ctx, uint32_t (&counts)[kVerdictCount], Ranking& ranking) {
  const KernelModel* models = ranking.models.data();
  const size_t n = ranking.models.size();
  uint32_t eligible = 0;
  for (size_t i = 0; i < n; ++i) {
    const Evaluation e = evaluate_model<kFast>(ctx, models[i]);
    if (e.verdict == Verdict::Eligible) [[likely]] {
      ++eligible;
      ranking.offer(Candidate{e.utility, e.cost, i});
    } else {
      ++counts[static_cast<size_t>(e.verdict)];
    }
  }
  counts[static_cast<size_t>(Verdict::Eligible)] = eligible;
}

uint16_t saturate16(uint64_t v) { return static_cast<uint16_t>(std::min<uint64_t>(v, 65535)); }

KernelDecision rejection(const PolicyParams& p, const KernelInput& input, KernelReason reason) {
  KernelDecision d;
  d.request_sequence = input.request_sequence;
  d.action = KernelAction::Reject;
  d.reason = reason;
  d.selected_model_id = 0;
  d.selected_model_index = kNoSelectedIndex;
  d.policy_epoch = p.policy_epoch;
  d.catalog_epoch = p.catalog_epoch;
  return d;
}

// The most frequent refusal names a rejection; ties go to the gate later in
// this walk, so disabled wins every tie it is part of.
KernelReason rejection_reason(const GateTrace& t) {
  struct Step {
    uint16_t count;
    KernelReason reason;
  };
  const Step walk[] = {
      {t.capability, KernelReason::CapabilityConstraint},
      {t.region, KernelReason::RegionConstraint},
      {t.provider, KernelReason::ProviderConstraint},
      {t.quality, KernelReason::QualityConstraint},
      {t.risk_ceiling, KernelReason::RiskCeilingConstraint},
      {t.latency, KernelReason::LatencyConstraint},
      {t.budget, KernelReason::BudgetConstraint},
      {t.utility, KernelReason::NonPositiveUtility},
      {t.disabled, KernelReason::NoEnabledModel},
  };
  Step choice = walk[0];
  for (const Step& s : walk) {
    if (s.count >= choice.count) choice = s;
  }
  return choice.count != 0 ? choice.reason : KernelReason::NoEnabledModel;
}

}  // namespace

std::optional<KernelReason> hard_limit_refusal(const PolicyParams& p, const KernelInput& input) {
  if (input.risk_bps >= p.hard_risk_limit_bps) return KernelReason::RiskHardLimit;
  if (input.confidence_bps < p.minimum_confidence_bps) return KernelReason::ConfidenceHardLimit;
  return std::nullopt;
}

Prescription prescribe_inner(const PolicySnapshot& snapshot, const KernelInput& input,
                             ArithmeticPath path) {
  const PolicyParams& p = snapshot.params();
  Prescription out{};
  if (auto refusal = hard_limit_refusal(p, input)) {
    out.decision = rejection(p, input, *refusal);
    return out;
  }

  const RequestContext ctx = make_request_context(snapshot, input, path);
  const std::span<const KernelModel> models = snapshot.models();
  uint32_t counts[kVerdictCount] = {};
  Ranking ranking{models, {}, {}};
  if (ctx.all_fast()) {
    rank_catalog<true>(ctx, counts, ranking);
  } else {
    rank_catalog<false>(ctx, counts, ranking);
  }

  auto count = [&](Verdict v) { return counts[static_cast<size_t>(v)]; };
  GateTrace& t = out.trace;
  t.disabled = saturate16(count(Verdict::Disabled));
  t.quality = saturate16(count(Verdict::Quality));
  t.risk_ceiling = saturate16(count(Verdict::RiskCeiling));
  t.latency = saturate16(count(Verdict::Latency));
  t.capability = saturate16(count(Verdict::Capability));
  t.provider = saturate16(uint64_t{count(Verdict::ProviderUnrepresentable)} +
                          count(Verdict::ProviderNotAllowed));
  t.region = saturate16(count(Verdict::Region));
  t.budget = saturate16(count(Verdict::OverBudget));
  t.utility = saturate16(count(Verdict::NonPositiveUtility));

  const uint16_t evaluated = saturate16(models.size());
  if (!ranking.has_best()) {
    out.decision = rejection(p, input, rejection_reason(t));
    out.decision.evaluated_models = evaluated;
    return out;
  }

  KernelDecision& d = out.decision;
  const Candidate& best = ranking.best;
  d.request_sequence = input.request_sequence;
  if (models[best.index].model_id == input.requested_model_id) {
    d.action = KernelAction::ExecuteRequested;
    d.reason = KernelReason::RequestedModelMaximizesUtility;
  } else {
    d.action = KernelAction::Substitute;
    d.reason = KernelReason::AlternativeMaximizesUtility;
  }
  const uint32_t best_id = models[best.index].model_id;
  d.selected_model_id = best_id;
  d.selected_model_index = saturate16(best.index);
  d.estimated_cost_microunits = best.cost;
  d.expected_utility_microunits = best.utility;
  if (ranking.has_second()) {
    d.counterfactual_model_id = models[ranking.second.index].model_id;
    d.counterfactual_utility_microunits = ranking.second.utility;
  }
  d.evaluated_models = evaluated;
  d.eligible_models = saturate16(count(Verdict::Eligible));
  d.policy_epoch = p.policy_epoch;
  d.catalog_epoch = p.catalog_epoch;
  return out;
}

void prescribe_batch(const PolicySnapshot& snapshot, std::span<const KernelInput> inputs,
                     std::span<KernelDecision> out) {
  const size_t n = std::min(inputs.size(), out.size());
  for (size_t i = 0; i < n; ++i) out[i] = prescribe_inner(snapshot, inputs[i]).decision;
}

std::vector<KernelDecision> prescribe_batch(const PolicySnapshot& snapshot,
                                            std::span<const KernelInput> inputs) {
  std::vector<KernelDecision> out(inputs.size());
  prescribe_batch(snapshot, inputs, out);
  return out;
}

std::optional<size_t> find_model(const PolicySnapshot& snapshot, uint32_t model_id) {
  std::span<const KernelModel> models = snapshot.models();
  for (size_t i = 0; i < models.size(); ++i) {
    if (models[i].model_id == model_id) return i;
  }
  return std::nullopt;
}

std::optional<int64_t> utility_for_model(const PolicySnapshot& snapshot, const KernelInput& input,
                                         uint32_t model_id, ArithmeticPath path) {
  if (hard_limit_refusal(snapshot.params(), input)) return std::nullopt;
  auto index = find_model(snapshot, model_id);
  if (!index) return std::nullopt;
  const RequestContext ctx = make_request_context(snapshot, input, path);
  const Evaluation e = evaluate_model(ctx, snapshot.models()[*index]);
  if (e.verdict != Verdict::Eligible) return std::nullopt;
  return e.utility;
}

}  // namespace morvatel
