#include "counterfactual.h"

#include <limits>
#include <memory>

#include "kernel/prescribe.h"

namespace morvatel {

namespace {

constexpr uint64_t kPpm = 1000000;
constexpr uint64_t kU32Max = std::numeric_limits<uint32_t>::max();
constexpr uint64_t kU64Max = std::numeric_limits<uint64_t>::max();

// Runs the kernel with one catalogue entry replaced and tells whether that
// entry is then selected (as the requested model or as a substitute).
class Prober {
 public:
  Prober(const PolicySnapshot& snapshot, const KernelInput& input, size_t index)
      : snapshot_(snapshot), input_(input), index_(index), model_(snapshot.models()[index]) {}

  const KernelModel& model() const { return model_; }

  KernelDecision decide(const KernelModel& changed) const {
    return prescribe_inner(with_model(snapshot_, index_, changed), input_).decision;
  }

  template <typename Change>
  bool selects(Change&& change) const {
    KernelModel changed = model_;
    change(changed);
    KernelDecision d = decide(changed);
    return d.action != KernelAction::Reject && d.selected_model_id == model_.model_id;
  }

 private:
  const PolicySnapshot& snapshot_;
  const KernelInput& input_;
  size_t index_;
  KernelModel model_;
};

// The smallest value in [lo, hi] that selects, given that hi does.
template <typename Selects>
uint64_t smallest_selecting(uint64_t lo, uint64_t hi, Selects&& selects) {
  while (lo < hi) {
    uint64_t mid = lo + (hi - lo) / 2;
    if (selects(mid)) {
      hi = mid;
    } else {
      lo = mid + 1;
    }
  }
  return lo;
}

// The largest value in [lo, hi] that selects, given that lo does.
template <typename Selects>
uint64_t largest_selecting(uint64_t lo, uint64_t hi, Selects&& selects) {
  while (lo < hi) {
    uint64_t mid = lo + (hi - lo) / 2 + (hi - lo) % 2;
    if (selects(mid)) {
      lo = mid;
    } else {
      hi = mid - 1;
    }
  }
  return lo;
}

void set_quality(KernelModel& m, uint64_t v) { m.quality_bps = static_cast<uint16_t>(v); }
void set_latency(KernelModel& m, uint64_t v) { m.p95_latency_ms = static_cast<uint32_t>(v); }
void set_risk_ceiling(KernelModel& m, uint64_t v) { m.risk_ceiling_bps = static_cast<uint16_t>(v); }
void set_price_scale(KernelModel& m, const KernelModel& base, uint64_t scale) {
  m.input_cost_microunits_per_million_tokens =
      scaled_price(base.input_cost_microunits_per_million_tokens, scale);
  m.output_cost_microunits_per_million_tokens =
      scaled_price(base.output_cost_microunits_per_million_tokens, scale);
}

uint64_t saturating_times_1000(uint64_t price) {
  uint64_t out;
  return __builtin_mul_overflow(price, uint64_t{1000}, &out) ? kU64Max : out;
}

// Probes `value` of a lever through `set`.
template <typename Set>
auto lever_probe(const Prober& prober, Set set) {
  return [&prober, set](uint64_t value) {
    return prober.selects([&](KernelModel& m) { set(m, value); });
  };
}

// The cost the kernel reports for the model at a price scale.
uint64_t cost_at_scale(const Prober& prober, uint64_t scale) {
  KernelModel changed = prober.model();
  set_price_scale(changed, prober.model(), scale);
  return prober.decide(changed).estimated_cost_microunits;
}

}  // namespace

PolicySnapshot with_model(const PolicySnapshot& snapshot, size_t index, const KernelModel& model) {
  auto models = std::make_shared<std::vector<KernelModel>>(snapshot.models().begin(),
                                                           snapshot.models().end());
  (*models)[index] = model;
  return PolicySnapshot::new_unchecked(snapshot.params(), std::move(models));
}

std::string_view lever_name(Lever lever) {
  switch (lever) {
    case Lever::QualityBps: return "quality_bps";
    case Lever::P95LatencyMs: return "p95_latency_ms";
    case Lever::PriceScalePpm: return "price_scale_ppm";
    case Lever::RiskCeilingBps: return "risk_ceiling_bps";
    case Lever::Enabled: return "enabled";
  }
  return "";
}

uint64_t scaled_price(uint64_t price, uint64_t scale_ppm) {
  const u128 scaled = u128{price} * scale_ppm / kPpm;
  return scaled > kU64Max ? kU64Max : static_cast<uint64_t>(scaled);
}

std::optional<WinRequirements> what_would_win(const PolicySnapshot& snapshot,
                                              const KernelInput& input, uint32_t model_id) {
  const std::optional<size_t> index = find_model(snapshot, model_id);
  if (!index) return std::nullopt;
  const KernelDecision decision = prescribe_inner(snapshot, input).decision;
  WinRequirements out{model_id, decision.selected_model_id, std::nullopt, {}};
  if (decision.reason == KernelReason::RiskHardLimit ||
      decision.reason == KernelReason::ConfidenceHardLimit) {
    out.blocked_by_request = decision.reason;
    return out;
  }
  if (decision.action != KernelAction::Reject && decision.selected_model_id == model_id) {
    return out;
  }

  const Prober prober(snapshot, input, *index);
  const KernelModel& m = prober.model();
  if (m.enabled == 0) {
    if (prober.selects([](KernelModel& c) { c.enabled = 1; })) {
      out.levers.push_back({Lever::Enabled, 0, 1, std::nullopt});
    }
    return out;
  }

  if (m.quality_bps <= kFullProbabilityBps) {
    auto probe = lever_probe(prober, set_quality);
    if (probe(kFullProbabilityBps)) {
      out.levers.push_back({Lever::QualityBps, m.quality_bps,
                            smallest_selecting(m.quality_bps, kFullProbabilityBps, probe),
                            std::nullopt});
    }
  }
  {
    auto probe = lever_probe(prober, set_latency);
    if (probe(0)) {
      out.levers.push_back({Lever::P95LatencyMs, m.p95_latency_ms,
                            largest_selecting(0, m.p95_latency_ms, probe), std::nullopt});
    }
  }
  {
    auto probe = lever_probe(prober,
                             [&m](KernelModel& c, uint64_t s) { set_price_scale(c, m, s); });
    if (probe(0)) {
      const uint64_t boundary = largest_selecting(0, kPpm, probe);
      out.levers.push_back({Lever::PriceScalePpm, kPpm, boundary, cost_at_scale(prober, boundary)});
    }
  }
  if (m.risk_ceiling_bps <= kFullProbabilityBps) {
    auto probe = lever_probe(prober, set_risk_ceiling);
    if (probe(kFullProbabilityBps)) {
      out.levers.push_back({Lever::RiskCeilingBps, m.risk_ceiling_bps,
                            smallest_selecting(m.risk_ceiling_bps, kFullProbabilityBps, probe),
                            std::nullopt});
    }
  }
  return out;
}

std::optional<DecisionMargin> decision_margin(const PolicySnapshot& snapshot,
                                              const KernelInput& input) {
  const KernelDecision decision = prescribe_inner(snapshot, input).decision;
  if (decision.action == KernelAction::Reject) return std::nullopt;
  const std::optional<size_t> index = find_model(snapshot, decision.selected_model_id);
  if (!index) return std::nullopt;

  const Prober prober(snapshot, input, *index);
  const KernelModel& m = prober.model();
  DecisionMargin out{m.model_id, {}};

  // Quality is always reported; the search's upper end, today's value, is
  // known to select.
  out.levers.push_back({Lever::QualityBps, m.quality_bps,
                        smallest_selecting(0, m.quality_bps, lever_probe(prober, set_quality)),
                        std::nullopt});
  {
    auto probe = lever_probe(prober, set_latency);
    if (!probe(kU32Max)) {
      out.levers.push_back({Lever::P95LatencyMs, m.p95_latency_ms,
                            largest_selecting(m.p95_latency_ms, kU32Max, probe), std::nullopt});
    }
  }
  {
    const bool still_wins_at_1000x = prober.selects([&m](KernelModel& c) {
      c.input_cost_microunits_per_million_tokens = saturating_times_1000(
          m.input_cost_microunits_per_million_tokens);
      c.output_cost_microunits_per_million_tokens = saturating_times_1000(
          m.output_cost_microunits_per_million_tokens);
    });
    if (!still_wins_at_1000x) {
      auto probe = lever_probe(prober,
                               [&m](KernelModel& c, uint64_t s) { set_price_scale(c, m, s); });
      const uint64_t boundary = largest_selecting(kPpm, kPpm * 1000, probe);
      out.levers.push_back({Lever::PriceScalePpm, kPpm, boundary, cost_at_scale(prober, boundary)});
    }
  }
  {
    auto probe = lever_probe(prober, set_risk_ceiling);
    if (!probe(0)) {
      out.levers.push_back({Lever::RiskCeilingBps, m.risk_ceiling_bps,
                            smallest_selecting(0, m.risk_ceiling_bps, probe), std::nullopt});
    }
  }
  return out;
}

}  // namespace morvatel
