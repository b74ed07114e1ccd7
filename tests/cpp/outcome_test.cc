#include "outcome.h"

#include <vector>

#include <gtest/gtest.h>

#include "digest.h"
#include "kernel/prescribe.h"
#include "text.h"

namespace morvatel {
namespace {

PolicySnapshot snapshot() {
  PolicyParams p{.policy_epoch = 1,
                 .catalog_epoch = 2,
                 .hard_risk_limit_bps = 9000,
                 .minimum_confidence_bps = 1000,
                 .risk_penalty_multiplier_bps = 10000};
  // Model 20 is in the catalogue but disabled.
  auto s = try_new_trusted(p, {{.model_id = 10,
                                .quality_bps = 8990,
                                .risk_ceiling_bps = 10000,
                                .enabled = 1,
                                .region_mask = 1},
                               {.model_id = 20,
                                .quality_bps = 8980,
                                .risk_ceiling_bps = 10000,
                                .enabled = 0,
                                .region_mask = 1}});
  EXPECT_TRUE(s.has_value());
  return *s;
}

KernelInput request(uint16_t risk_bps = 0) {
  return {.request_sequence = 5,
          .requested_model_id = 10,
          .business_value_microunits = 1000000,
          .budget_limit_microunits = 1000000,
          .risk_bps = risk_bps,
          .confidence_bps = 9000,
          .max_p95_latency_ms = 1000,
          .allowed_provider_mask = UINT64_MAX,
          .required_region_mask = 1};
}

class OutcomeTest : public ::testing::Test {
 protected:
  PolicySnapshot snap = snapshot();
  KernelInput in = request();
  KernelDecision decision = prescribe_inner(snap, in).decision;
  Observation seen{.realized_cost_microunits = 3};
  Outcome rec = Outcome::applied(snap, in, decision, 99, seen);

  std::string against() {
    auto r = rec.validate_against(snap, in, decision);
    return r ? "" : r.error().message();
  }
};

// Shapes the Python constructors never produce: a deterministic record with
// a partial propensity, or one that names a model other than the winner.
TEST_F(OutcomeTest, MaximiseUtilityMustRecordCertaintyAndTheWinner) {
  ASSERT_EQ(against(), "");
  rec.propensity_bps = 9999;
  EXPECT_EQ(rec.validate().error().message(),
            "MaximiseUtility is deterministic and must record 10000, got 9999");
  rec.propensity_bps = 0;
  EXPECT_EQ(rec.validate().error().message(), "propensity must be 1..=10000 basis points, got 0");
  rec.propensity_bps.reset();
  EXPECT_EQ(rec.validate().error().message(),
            "MaximiseUtility must record a propensity, and it cannot be recovered afterwards");
  rec.propensity_bps = kFullProbabilityBps;
  rec.acted_model_id = 20;
  EXPECT_EQ(against(), "MaximiseUtility acted on model 20, but the decision selected 10");
}

TEST_F(OutcomeTest, IdentityIsCheckedInItsOrder) {
  Outcome original = rec;
  rec.request_sequence += 1;
  EXPECT_EQ(against(), "this outcome does not follow that decision: the request sequence differs");
  EXPECT_FALSE(rec.follows(decision));
  rec.decision_digest[0] ^= 1;
  EXPECT_EQ(against(), "this outcome does not follow that decision: the decision differs");
  rec.input_digest[31] ^= 1;
  EXPECT_EQ(against(), "this outcome does not follow that decision: the input differs");
  rec.policy_digest[5] ^= 1;
  EXPECT_EQ(against(), "this outcome does not follow that decision: the policy differs");
  // The self checks come before any identity check.
  rec.disposition = Disposition::Abandoned;
  EXPECT_EQ(against(),
            "Abandoned means nothing was carried out, so nothing can have been observed");
  rec = original;
  EXPECT_EQ(against(), "");
}

// Records with several faults at once report the earliest step only.
TEST_F(OutcomeTest, ChecksRunInTheirOrder) {
  struct Case {
    const char* what;
    void (*spoil)(Outcome&);
    const char* message;
  };
  const Case cases[] = {
      {"propensity before observation",
       [](Outcome& o) {
         o.strategy = SelectionStrategy::Human;
         o.propensity_bps = 5000;
         o.observation = {};
       },
       "Human selection has no propensity to record; leave it absent"},
      {"range before determinism", [](Outcome& o) { o.propensity_bps = 10001; },
       "propensity must be 1..=10000 basis points, got 10001"},
      {"shape before identity",
       [](Outcome& o) {
         o.disposition = Disposition::InFlight;
         o.observation.succeeded = false;
         o.policy_digest[0] ^= 1;
       },
       "InFlight cannot record success or failure; revise the record when it finishes"},
      {"identity before the acted-on model",
       [](Outcome& o) {
         o.request_sequence += 1;
         o.acted_model_id = 99;
       },
       "this outcome does not follow that decision: the request sequence differs"},
      {"winner before catalogue", [](Outcome& o) { o.acted_model_id = 99; },
       "MaximiseUtility acted on model 99, but the decision selected 10"},
      {"catalogue for other strategies",
       [](Outcome& o) {
         o.strategy = SelectionStrategy::Explore;
         o.propensity_bps = 1;
         o.acted_model_id = 99;
       },
       "model 99 is not in this policy's catalog"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Outcome original = rec;
    c.spoil(rec);
    EXPECT_EQ(against(), c.message);
    rec = original;
  }
}

TEST_F(OutcomeTest, RejectionCanOnlyBeAbandoned) {
  KernelInput risky = request(9500);
  KernelDecision reject = prescribe_inner(snap, risky).decision;
  ASSERT_EQ(reject.action, KernelAction::Reject);
  // Acting on "model 0" of a rejection is refused as a rejection, never
  // looked up in the catalogue.
  auto human = Outcome::chosen_otherwise(snap, risky, reject, 1, seen, 0, std::nullopt, true);
  ASSERT_FALSE(human);
  EXPECT_EQ(human.error().kind, OutcomeErrorKind::RejectionActedOn);
  // A rejection acted on is reported before a winner that differs.
  Outcome acted = Outcome::applied(snap, risky, reject, 1, seen);
  acted.acted_model_id = 99;
  auto r = acted.validate_against(snap, risky, reject);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind, OutcomeErrorKind::RejectionActedOn);
}

}  // namespace
}  // namespace morvatel
