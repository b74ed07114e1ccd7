#include "outcome.h"

#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "digest.h"
#include "kernel/prescribe.h"
#include "text.h"

namespace morvatel {
namespace {

PolicySnapshot snapshot() {
  PolicyParams p;
  p.policy_epoch = 1;
  p.catalog_epoch = 2;
  p.hard_risk_limit_bps = 9000;
  p.minimum_confidence_bps = 1000;
  p.risk_penalty_multiplier_bps = 10000;
  std::vector<KernelModel> models;
  for (uint32_t id : {10u, 20u}) {
    KernelModel m;
    m.model_id = id;
    m.quality_bps = static_cast<uint16_t>(9000 - id);
    m.risk_ceiling_bps = 10000;
    m.enabled = id == 10 ? 1 : 0;
    m.region_mask = 1;
    models.push_back(m);
  }
  auto s = try_new_trusted(p, models);
  EXPECT_TRUE(s.has_value());
  return *s;
}

KernelInput request(uint16_t risk_bps = 0) {
  KernelInput in;
  in.request_sequence = 5;
  in.requested_model_id = 10;
  in.business_value_microunits = 1000000;
  in.budget_limit_microunits = 1000000;
  in.risk_bps = risk_bps;
  in.confidence_bps = 9000;
  in.max_p95_latency_ms = 1000;
  in.allowed_provider_mask = UINT64_MAX;
  in.required_region_mask = 1;
  return in;
}

OutcomeError error(OutcomeErrorKind kind) { return OutcomeError{.kind = kind}; }

TEST(OutcomeError, EveryKindHasItsText) {
  using K = OutcomeErrorKind;
  EXPECT_EQ((OutcomeError{.kind = K::PropensityOutOfRange, .value = 10001}.message()),
            "propensity must be 1..=10000 basis points, got 10001");
  EXPECT_EQ((OutcomeError{.kind = K::DeterministicPropensity, .value = 9999}.message()),
            "MaximiseUtility is deterministic and must record 10000, got 9999");
  EXPECT_EQ((OutcomeError{.kind = K::MissingPropensity, .strategy = SelectionStrategy::Explore}
                 .message()),
            "Explore must record a propensity, and it cannot be recovered afterwards");
  EXPECT_EQ(error(K::HumanPropensity).message(),
            "Human selection has no propensity to record; leave it absent");
  EXPECT_EQ(error(K::EmptyObservation).message(),
            "an outcome must carry at least one observation or a disposition that explains its "
            "absence");
  EXPECT_EQ(error(K::AbandonedObserved).message(),
            "Abandoned means nothing was carried out, so nothing can have been observed");
  EXPECT_EQ(error(K::InFlightResolved).message(),
            "InFlight cannot record success or failure; revise the record when it finishes");
  EXPECT_EQ(error(K::RejectionActedOn).message(),
            "the decision was a rejection, so there was nothing to carry out");
  EXPECT_EQ((OutcomeError{.kind = K::WinnerMismatch, .value = 7, .selected = 8}.message()),
            "MaximiseUtility acted on model 7, but the decision selected 8");
  EXPECT_EQ((OutcomeError{.kind = K::UnknownModel, .value = 4294967295u}.message()),
            "model 4294967295 is not in this policy's catalog");
  const char* fields[] = {"policy", "input", "decision", "request sequence"};
  for (uint8_t f = 0; f < 4; ++f) {
    EXPECT_EQ((OutcomeError{.kind = K::IdentityMismatch, .field = static_cast<IdentityField>(f)}
                   .message()),
              str_cat("this outcome does not follow that decision: the ", fields[f], " differs"));
  }
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

TEST_F(OutcomeTest, AppliedRecordOfTheWinnerIsValid) {
  ASSERT_EQ(decision.selected_model_id, 10u);
  EXPECT_EQ(rec.acted_model_id, 10u);
  EXPECT_EQ(rec.propensity_bps, kFullProbabilityBps);
  EXPECT_EQ(rec.revision, 0u);
  EXPECT_EQ(against(), "");
  EXPECT_TRUE(rec.follows(decision));
}

// Shapes the Python constructors never produce: a deterministic record with
// a partial propensity, or one that names a model other than the winner.
TEST_F(OutcomeTest, MaximiseUtilityMustRecordCertaintyAndTheWinner) {
  rec.propensity_bps = 9999;
  EXPECT_EQ(rec.validate().error().kind, OutcomeErrorKind::DeterministicPropensity);
  rec.propensity_bps = 0;
  EXPECT_EQ(rec.validate().error().message(),
            "propensity must be 1..=10000 basis points, got 0");
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

TEST_F(OutcomeTest, ExploreNeedsACatalogueModelButNotAnEnabledOne) {
  auto disabled = Outcome::chosen_otherwise(snap, in, decision, 1, seen, 20, 500, false);
  ASSERT_TRUE(disabled);
  EXPECT_EQ(disabled->strategy, SelectionStrategy::Explore);
  auto unknown = Outcome::chosen_otherwise(snap, in, decision, 1, seen, 30, 500, false);
  ASSERT_FALSE(unknown);
  EXPECT_EQ(unknown.error().message(), "model 30 is not in this policy's catalog");
}

TEST_F(OutcomeTest, RejectionCanOnlyBeAbandoned) {
  KernelInput risky = request(9500);
  KernelDecision reject = prescribe_inner(snap, risky).decision;
  ASSERT_EQ(reject.action, KernelAction::Reject);
  Outcome a = Outcome::abandoned(snap, risky, reject, 1);
  EXPECT_EQ(a.acted_model_id, 0u);
  EXPECT_TRUE(a.validate_against(snap, risky, reject));
  // Acting on "model 0" of a rejection is refused as a rejection, never
  // looked up in the catalogue.
  auto human = Outcome::chosen_otherwise(snap, risky, reject, 1, seen, 0, std::nullopt, true);
  ASSERT_FALSE(human);
  EXPECT_EQ(human.error().kind, OutcomeErrorKind::RejectionActedOn);
}

TEST_F(OutcomeTest, InFlightMayCarryCostButNotSuccess) {
  rec.disposition = Disposition::InFlight;
  rec.observation = Observation{.realized_latency_ms = 4};
  EXPECT_TRUE(rec.validate());
  rec.observation = Observation{};
  EXPECT_TRUE(rec.validate());
  rec.observation.succeeded = false;
  EXPECT_EQ(rec.validate().error().kind, OutcomeErrorKind::InFlightResolved);
}

TEST_F(OutcomeTest, RecordDigestCoversEveryFieldTheOthersDoNot) {
  Digest32 identity = rec.identity_digest();
  Digest32 selection = rec.selection_digest();
  Digest32 whole = rec.digest();
  auto changed = [&](auto mutate) {
    Outcome copy = rec;
    mutate(copy);
    return std::tuple(copy.identity_digest() != identity, copy.selection_digest() != selection,
                      copy.digest() != whole);
  };
  using T = std::tuple<bool, bool, bool>;
  EXPECT_EQ(changed([](Outcome& o) { o.revision = 1; }), T(false, false, true));
  EXPECT_EQ(changed([](Outcome& o) { o.observed_at_micros = 0; }), T(false, false, true));
  EXPECT_EQ(changed([](Outcome& o) { o.disposition = Disposition::InFlight; }),
            T(false, false, true));
  EXPECT_EQ(changed([](Outcome& o) { o.observation.succeeded = true; }), T(false, false, true));
  // Absent and zero are different measurements.
  EXPECT_EQ(changed([](Outcome& o) { o.observation.realized_latency_ms = 0; }),
            T(false, false, true));
  EXPECT_EQ(changed([](Outcome& o) { o.acted_model_id = 20; }), T(false, true, true));
  EXPECT_EQ(changed([](Outcome& o) { o.strategy = SelectionStrategy::Explore; }),
            T(false, true, true));
  EXPECT_EQ(changed([](Outcome& o) { o.request_sequence = 6; }), T(true, false, true));
  EXPECT_EQ(changed([](Outcome& o) { o.policy_digest[0] ^= 1; }), T(true, false, true));
}

TEST(Observation, DebugFormWritesOptionalsAsSomeOrNone) {
  EXPECT_EQ(Observation{}.debug_string(), "Observation(cost=None, latency_ms=None, succeeded=None)");
  Observation o{.realized_cost_microunits = UINT64_MAX, .realized_latency_ms = 0, .succeeded = true};
  EXPECT_EQ(o.debug_string(),
            "Observation(cost=Some(18446744073709551615), latency_ms=Some(0), succeeded=Some(true))");
  EXPECT_FALSE(o.empty());
  EXPECT_TRUE(Observation{}.empty());
}

TEST(Disposition, OnlyTheExactTextsParse) {
  EXPECT_EQ(disposition_from_text("in_flight"), Disposition::InFlight);
  EXPECT_EQ(disposition_from_text("applied"), Disposition::Applied);
  EXPECT_FALSE(disposition_from_text("Applied"));
  EXPECT_FALSE(disposition_from_text("applied "));
  EXPECT_FALSE(disposition_from_text(""));
}

}  // namespace
}  // namespace morvatel
