#include "kernel/prescribe.h"

#include <algorithm>
#include <bit>

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

  // Most candidates rank below the second slot; that one test is all they
  // cost, and it stays a branch that predicts well. (The second slot never
  // ranks above the first, so whatever ranks above the first ranks above
  // the second too.)
  void offer(const Candidate& c) {
    if (ranks_above(c, second)) [[unlikely]] {
      if (ranks_above(c, best)) {
        second = best;
        best = c;
      } else {
        second = c;
      }
    }
  }
  bool has_best() const { return best.utility > 0; }
  bool has_second() const { return second.utility > 0; }
};

// One pass over the catalogue, a group of models at a time: the gates of
// the whole group at once from the gate columns, without a branch per gate;
// then each model refused by a gate is counted under the first one, and the
// others are evaluated and ranked. Counts are kept per verdict in 32 bits
// and saturated once at the end.
//
// The gate counts of a run of up to kRun models are the bytes of one word,
// so that counting a refused model is one add to a register.
constexpr size_t kRun = 128;
static_assert(kRun < 256 && kRun % GateColumns::kGroup == 0);
constexpr size_t kGates = gate_bit(Verdict::RiskCeiling) + 1;
static_assert(kGates == sizeof(uint64_t));  // a byte of the word for each gate

template <bool kFast>
void rank_catalog(const RequestContext& ctx, const GateColumns& gates,
                  uint32_t (&counts)[kVerdictCount], Ranking& ranking) {
  constexpr size_t kGroup = GateColumns::kGroup;
  const KernelModel* models = ranking.models.data();
  const size_t n = ranking.models.size();
  const GateRequest request = gate_request(*ctx.input);
  uint64_t by_gate = 0;
  auto flush = [&] {
    if (by_gate == 0) return;  // a run that no gate refused
    for (size_t g = 0; g < kGates; ++g) counts[g] += static_cast<uint8_t>(by_gate >> (8 * g));
    by_gate = 0;
  };
  for (size_t first = 0; first < n; first += kGroup) {
    uint32_t refusals[kGroup];
    gates.group_refusals(request, first, refusals);
    for (size_t j = 0; j < kGroup; ++j) {
      if (const uint32_t r = refusals[j]; r != 0) {
        // The lowest refusal bit names the first refusing gate.
        by_gate += uint64_t{1} << (8 * std::countr_zero(r));
        continue;
      }
      const Evaluation e = evaluate_admitted<kFast>(ctx, models[first + j]);
      if (e.verdict == Verdict::Eligible) [[likely]] {
        ranking.offer(Candidate{e.utility, e.cost, first + j});
      } else {
        ++counts[static_cast<size_t>(e.verdict)];
      }
    }
    if ((first + kGroup) % kRun == 0) flush();
  }
  flush();
  // The padding of the last group, refused as disabled.
  const size_t padding = (kGroup - n % kGroup) % kGroup;
  counts[static_cast<size_t>(Verdict::Disabled)] -= static_cast<uint32_t>(padding);
  // The eligible are the rest, which spares the common case a counter.
  uint32_t not_eligible = 0;
  for (size_t v = 0; v < static_cast<size_t>(Verdict::Eligible); ++v) not_eligible += counts[v];
  counts[static_cast<size_t>(Verdict::Eligible)] = static_cast<uint32_t>(n) - not_eligible;
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

// GCC would pack the trace with vector loads that straddle the counters'
// narrow stores made moments before; the failed store forwarding costs more
// than the packing saves on small catalogues.
#if defined(__GNUC__) && !defined(__clang__)
__attribute__((optimize("no-tree-slp-vectorize")))
#endif
Prescription
prescribe_inner(const PolicySnapshot& snapshot, const KernelInput& input, ArithmeticPath path) {
  const PolicyParams& p = snapshot.params();
  if (auto refusal = hard_limit_refusal(p, input)) {
    return Prescription{rejection(p, input, *refusal), GateTrace{}};
  }

  const RequestContext ctx = make_request_context(snapshot, input, path);
  const std::span<const KernelModel> models = snapshot.models();
  uint32_t counts[kVerdictCount] = {};
  Ranking ranking{models, {}, {}};
  if (ctx.all_fast()) {
    rank_catalog<true>(ctx, snapshot.gate_columns(), counts, ranking);
  } else {
    rank_catalog<false>(ctx, snapshot.gate_columns(), counts, ranking);
  }

  // A count never exceeds the catalogue's length, which a validated
  // catalogue keeps within 16 bits; only longer catalogues need saturation.
  auto count = [&](Verdict v) -> uint16_t {
    uint32_t c = counts[static_cast<size_t>(v)];
    return models.size() <= 65535 ? static_cast<uint16_t>(c) : saturate16(c);
  };
  const GateTrace trace{
      .disabled = count(Verdict::Disabled),
      .quality = count(Verdict::Quality),
      .risk_ceiling = count(Verdict::RiskCeiling),
      .latency = count(Verdict::Latency),
      .capability = count(Verdict::Capability),
      .provider = saturate16(uint64_t{count(Verdict::ProviderUnrepresentable)} +
                             count(Verdict::ProviderNotAllowed)),
      .region = count(Verdict::Region),
      .budget = count(Verdict::OverBudget),
      .utility = count(Verdict::NonPositiveUtility),
  };

  const uint16_t evaluated = saturate16(models.size());
  if (!ranking.has_best()) {
    KernelDecision d = rejection(p, input, rejection_reason(trace));
    d.evaluated_models = evaluated;
    return Prescription{d, trace};
  }

  const Candidate& best = ranking.best;
  const Candidate& second = ranking.second;
  const uint32_t best_id = models[best.index].model_id;
  const bool requested = best_id == input.requested_model_id;
  return Prescription{
      KernelDecision{
          .request_sequence = input.request_sequence,
          .action = requested ? KernelAction::ExecuteRequested : KernelAction::Substitute,
          .reason = requested ? KernelReason::RequestedModelMaximizesUtility
                              : KernelReason::AlternativeMaximizesUtility,
          .selected_model_id = best_id,
          .selected_model_index = saturate16(best.index),
          .estimated_cost_microunits = best.cost,
          .expected_utility_microunits = best.utility,
          // Without a second candidate both are 0 (an empty slot's utility).
          .counterfactual_model_id = ranking.has_second() ? models[second.index].model_id : 0,
          .counterfactual_utility_microunits = second.utility,
          .evaluated_models = evaluated,
          .eligible_models = count(Verdict::Eligible),
          .policy_epoch = p.policy_epoch,
          .catalog_epoch = p.catalog_epoch,
      },
      trace};
}

void prescribe_batch(const PolicySnapshot& snapshot, std::span<const KernelInput> inputs,
                     std::span<KernelDecision> out) noexcept {
  const size_t n = std::min(inputs.size(), out.size());
  for (size_t i = 0; i < n; ++i) out[i] = prescribe_inner(snapshot, inputs[i]).decision;
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
