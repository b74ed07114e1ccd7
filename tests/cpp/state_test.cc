#include "state.h"

#include <limits>
#include <vector>

#include <gtest/gtest.h>

#include "digest.h"

namespace morvatel {
namespace {

constexpr uint64_t kLast = std::numeric_limits<uint64_t>::max();

StatefulAuditBundle bundle(uint64_t step, std::string before, std::string after,
                           bool replay_valid = true) {
  StatefulAuditBundle b;
  b.audit.replay_valid = replay_valid;
  b.step = step;
  b.state_digest_before_hex = std::move(before);
  b.state_digest_after_hex = std::move(after);
  return b;
}

std::string message(const TrajectoryResult& r) {
  EXPECT_FALSE(r.has_value());
  return r ? std::string() : r.error().message();
}

TEST(StateChain, RefusesToAdvancePastTheLastStepAndStaysPut) {
  const Digest32 last = state_digest(7, "x");
  StateChain chain = StateChain::resume(kLast - 1, last);
  auto t = chain.advance("y");
  ASSERT_TRUE(t.has_value());
  EXPECT_EQ(t->step, kLast);
  EXPECT_EQ(t->digest_before, last);
  EXPECT_EQ(t->digest_after, state_digest(kLast, "y"));
  auto again = chain.advance("z");
  ASSERT_FALSE(again.has_value());
  EXPECT_EQ(again.error().debug_string(), "StepOverflow");
  EXPECT_EQ(chain.step(), kLast);
  EXPECT_EQ(chain.last_digest(), state_digest(kLast, "y"));
}

TEST(Trajectory, ReplayFlagIsCheckedFirstInTheWalk) {
  // A bundle that both breaks the chain and carries a false flag reports
  // the flag.
  std::vector<StatefulAuditBundle> bs = {bundle(1, "a", "b"), bundle(3, "z", "c", false)};
  EXPECT_EQ(message(verify_state_trajectory(bs)), "bundle at step 3 carries replay_valid=false");
}

TEST(Trajectory, CompleteChecksStartBeforeReplayFlag) {
  const std::string genesis = bytes_to_hex(state_digest(0, "init"));
  std::vector<StatefulAuditBundle> bs = {bundle(2, genesis, "b", false)};
  EXPECT_EQ(message(verify_complete_state_trajectory("init", 2, bs)),
            "step 2 does not continue from step 1");
  bs = {bundle(1, "wrong", "b", false)};
  EXPECT_EQ(message(verify_complete_state_trajectory("init", 1, bs)),
            "state chain broken at step 1: before-digest does not match previous after-digest");
  bs = {bundle(1, genesis, "b", false)};
  EXPECT_EQ(message(verify_complete_state_trajectory("init", 1, bs)),
            "bundle at step 1 carries replay_valid=false");
  bs = {bundle(1, genesis, "b"), bundle(2, "b", "c")};
  EXPECT_TRUE(verify_complete_state_trajectory("init", 2, bs).has_value());
}

TEST(Trajectory, NoStepFollowsTheLast) {
  // A checked increment: the step after 2^64-1 does not wrap to 0.
  std::vector<StatefulAuditBundle> bs = {bundle(kLast, "a", "b"), bundle(0, "b", "c")};
  EXPECT_EQ(message(verify_state_trajectory(bs)),
            "step 0 does not continue from step 18446744073709551615");
  bs = {bundle(kLast - 1, "a", "b"), bundle(kLast, "b", "c")};
  EXPECT_TRUE(verify_state_trajectory(bs).has_value());
  EXPECT_TRUE(verify_state_trajectory_fragment(kLast - 2, "a", bs).has_value());
}

TEST(Trajectory, LinkComparesWholeTexts) {
  std::vector<StatefulAuditBundle> bs = {bundle(1, "a", "bc"), bundle(2, "b", "c")};
  EXPECT_EQ(message(verify_state_trajectory(bs)),
            "state chain broken at step 2: before-digest does not match previous after-digest");
  bs = {bundle(1, "a", "b"), bundle(2, "bc", "c")};
  EXPECT_FALSE(verify_state_trajectory(bs).has_value());
}

}  // namespace
}  // namespace morvatel
