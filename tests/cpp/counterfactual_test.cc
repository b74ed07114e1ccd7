#include "counterfactual.h"

#include <gtest/gtest.h>

#include <limits>

#include "kernel/explain.h"
#include "kernel/prescribe.h"

namespace morvatel {
namespace {

constexpr uint64_t kU64Max = std::numeric_limits<uint64_t>::max();

KernelModel plain_model(uint32_t id) {
  return KernelModel{id, 1, 9000, 10000, 1, 100, 0, 0, 1000, 1000};
}

TEST(Counterfactual, WithModelReplacesOneEntryAndRecomputesMaxima) {
  PolicyParams p{1, 2, 10000, 0, 10000, 1ULL << 40};
  PolicySnapshot s = *try_new_trusted(p, {plain_model(1), plain_model(2)});
  KernelModel slow = plain_model(2);
  slow.p95_latency_ms = 0xFFFFFFFF;
  slow.input_cost_microunits_per_million_tokens = kU64Max;
  PolicySnapshot probe = with_model(s, 1, slow);
  EXPECT_EQ(probe.models()[1], slow);
  EXPECT_EQ(s.models()[1], plain_model(2));  // the original is untouched
  EXPECT_NE(probe.shared_models(), s.shared_models());
  EXPECT_EQ(probe.maxima().p95_latency_ms, 0xFFFFFFFFu);
  EXPECT_EQ(probe.maxima().input_cost_microunits_per_million_tokens, kU64Max);
  EXPECT_EQ(probe.params(), s.params());

  // With stale maxima the 64-bit latency product would wrap; the probe's
  // own maxima send it down the exact path, which agrees with kWide.
  KernelInput in{1, 0, 1, 1, 1000000, kU64Max, 0, 10000, 0, 0, 0, kU64Max, 0};
  EXPECT_EQ(prescribe_inner(probe, in).decision,
            prescribe_inner(probe, in, ArithmeticPath::kWide).decision);
  Explanation e = explain(probe, in);
  EXPECT_EQ(e.candidates[1].breakdown.latency_penalty, u128{0xFFFFFFFF} << 40);
  EXPECT_EQ(e.candidates[1].status, CandidateStatus::NonPositiveUtility);
}

TEST(Counterfactual, ScaledPriceIsExactAndSaturates) {
  EXPECT_EQ(scaled_price(999999, 1), 0u);
  EXPECT_EQ(scaled_price(1000000, 1), 1u);
  EXPECT_EQ(scaled_price(kU64Max, 1000000), kU64Max);
  EXPECT_EQ(scaled_price(kU64Max, 1000001), kU64Max);
  EXPECT_EQ(scaled_price(kU64Max / 1000, 1000000000), kU64Max / 1000 * 1000);
}

}  // namespace
}  // namespace morvatel
