#include "verify.h"

#include <gtest/gtest.h>

#include "digest.h"
#include "kernel/prescribe.h"
#include "text.h"
#include "proof.h"

namespace morvatel {
namespace {

KernelModel model(uint32_t id, uint16_t quality, uint64_t input_price) {
  return {.model_id = id,
          .provider_id = 1,
          .quality_bps = quality,
          .risk_ceiling_bps = 10000,
          .enabled = 1,
          .p95_latency_ms = 100,
          .region_mask = 1,
          .input_cost_microunits_per_million_tokens = input_price,
          .output_cost_microunits_per_million_tokens = 2000};
}

PolicySnapshot snapshot() {
  PolicyParams p{.policy_epoch = 3,
                 .catalog_epoch = 4,
                 .hard_risk_limit_bps = 9000,
                 .minimum_confidence_bps = 1000,
                 .risk_penalty_multiplier_bps = 10000,
                 .latency_penalty_microunits_per_ms = 1};
  auto s = try_new_trusted(p, {model(1, 9000, 1000), model(2, 8000, 500), model(3, 7000, 100)});
  EXPECT_TRUE(s.has_value());
  return *s;
}

KernelInput request() {
  return {.request_sequence = 11,
          .requested_model_id = 2,
          .input_tokens = 1000,
          .output_tokens = 1000,
          .business_value_microunits = 1000000000,
          .budget_limit_microunits = 1000000000,
          .risk_bps = 100,
          .confidence_bps = 9000,
          .max_p95_latency_ms = 1000,
          .allowed_provider_mask = UINT64_MAX,
          .required_region_mask = 1};
}

// Changes one field of a decision to another value of its type.
template <typename T>
void alter(T& v) {
  if constexpr (std::is_same_v<T, KernelAction>) {
    v = v == KernelAction::Reject ? KernelAction::Substitute : KernelAction::Reject;
  } else if constexpr (std::is_same_v<T, KernelReason>) {
    v = v == KernelReason::BudgetConstraint ? KernelReason::RegionConstraint
                                            : KernelReason::BudgetConstraint;
  } else {
    v = static_cast<T>(v + 1);
  }
}

// The decision with field `index` (declaration order) altered.
KernelDecision altered(KernelDecision d, size_t index, std::string* name_out) {
  size_t i = 0;
  for_each_field(d, [&](const char* name, auto& field) {
    if (i++ == index) {
      alter(field);
      *name_out = name;
    }
  });
  return d;
}

class VerifyTest : public ::testing::Test {
 protected:
  PolicySnapshot snap = snapshot();
  KernelInput in = request();
  KernelDecision decision = prescribe_inner(snap, in).decision;
};

TEST_F(VerifyTest, ReplayOfTheKernelsOwnDecisionIsValid) {
  ASSERT_EQ(decision.action, KernelAction::Substitute);
  VerifyResult r = verify_decision(snap, in, decision);
  EXPECT_TRUE(r.valid());
  EXPECT_EQ(r.debug_string(), "Valid");
  EXPECT_TRUE(validate_audit_bundle(audit_bundle(snap, in, decision)));
}

TEST_F(VerifyTest, EachAlteredFieldIsRefusedWithBothDecisionsQuoted) {
  for (size_t i = 0; i < kKernelDecisionFields; ++i) {
    std::string name;
    KernelDecision forged = altered(decision, i, &name);
    SCOPED_TRACE(name);
    ASSERT_NE(forged, decision);

    VerifyResult r = verify_decision(snap, in, forged);
    ASSERT_FALSE(r.valid());
    EXPECT_EQ(r.status(), "mismatch");
    const auto& m = std::get<VerifyMismatch>(r.kind);
    EXPECT_EQ(m.expected, decision);
    EXPECT_EQ(m.actual, forged);
    std::string expected_text = str_cat("Mismatch { expected: ", debug_string(decision),
                                        ", actual: ", debug_string(forged), " }");
    EXPECT_EQ(r.debug_string(), expected_text);

    AuditBundle b = audit_bundle(snap, in, forged);
    EXPECT_FALSE(b.replay_valid);
    EXPECT_EQ(b.decision_digest_hex, bytes_to_hex(decision_digest(forged)));
    EXPECT_FALSE(seal(snap, in, forged).replay_valid);

    auto verified = verified_audit_bundle(snap, in, forged);
    ASSERT_FALSE(verified);
    EXPECT_EQ(verified.error().message(), str_cat("VerifyError { result: ", expected_text, " }"));
  }
}

// The envelope summarises the decision it was given, not the replay, so a
// forged decision is filed as it stands beside a false verdict.
TEST_F(VerifyTest, EnvelopeCarriesTheSuppliedDecision) {
  KernelDecision forged = decision;
  forged.action = KernelAction::Reject;
  forged.reason = KernelReason::RiskHardLimit;
  forged.selected_model_id = 77;
  forged.estimated_cost_microunits = UINT64_MAX;
  forged.expected_utility_microunits = INT64_MIN;  // extremes show a narrowed copy
  ProofEnvelope e = seal(snap, in, forged);
  EXPECT_FALSE(e.replay_valid);
  EXPECT_EQ(e.decision_digest_hex, bytes_to_hex(decision_digest(forged)));
  EXPECT_EQ(e.action, "reject");
  EXPECT_EQ(e.reason, "risk_hard_limit");
  EXPECT_EQ(e.selected_model_id, 77u);
  EXPECT_EQ(e.estimated_cost_microunits, UINT64_MAX);
  EXPECT_EQ(e.expected_utility_microunits, INT64_MIN);
}

TEST(VerifyResultText, DigestMismatchQuotesBothDigests) {
  VerifyResult r{VerifyDigestMismatch{std::string(64, 'a'), std::string(64, 'b')}};
  EXPECT_EQ(r.status(), "digest_mismatch");
  EXPECT_EQ(r.debug_string(), str_cat("DigestMismatch { expected_hex: \"", std::string(64, 'a'),
                                      "\", actual_hex: \"", std::string(64, 'b'), "\" }"));
  VerifyError e{r};
  VerifyError copy = e;
  EXPECT_EQ(copy.message(), str_cat("VerifyError { result: ", r.debug_string(), " }"));
}

AuditBundle canonical() {
  AuditBundle b;
  b.schema_version = "morvatel.audit.v1";
  b.digest_algorithm = "sha256";
  b.proof_version = 1;
  b.created_by = "morvatel";
  b.policy_digest_hex = std::string(64, 'a');
  b.input_digest_hex = std::string(64, '0');
  b.decision_digest_hex = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";
  b.replay_valid = true;
  return b;
}

// Each case spoils one step and, where it matters, a later one too: the
// first failing step is the one reported.
TEST(CanonicalCheck, RefusesWithTheFirstFailingStep) {
  const std::string hex64 = "_hex must be exactly 64 lowercase hexadecimal characters";
  const std::pair<void (*)(AuditBundle&), std::string> cases[] = {
      {[](AuditBundle& b) {
         b.schema_version = "Morvatel.audit.v1";
         b.policy_digest_hex = "z";
       },
       "unsupported audit schema_version: Morvatel.audit.v1"},
      {[](AuditBundle& b) {
         b.digest_algorithm = "SHA256";
         b.proof_version = 2;
       },
       "unsupported audit digest_algorithm: SHA256"},
      {[](AuditBundle& b) {
         b.proof_version = 65535;
         b.created_by = "x";
       },
       "unsupported audit proof_version: 65535"},
      {[](AuditBundle& b) {
         b.created_by = "";
         b.replay_valid = false;
       },
       "unsupported audit created_by value: "},
      {[](AuditBundle& b) {
         b.replay_valid = false;
         b.input_digest_hex = "";
       },
       "persisted audit bundle carries replay_valid=false"},
      {[](AuditBundle& b) { b.policy_digest_hex = std::string(64, 'A'); }, "policy_digest" + hex64},
      {[](AuditBundle& b) { b.input_digest_hex = std::string(63, 'a'); }, "input_digest" + hex64},
      {[](AuditBundle& b) { b.decision_digest_hex = std::string(65, 'a'); },
       "decision_digest" + hex64},
      {[](AuditBundle& b) { b.decision_digest_hex[63] = 'g'; }, "decision_digest" + hex64},
      // 64 bytes, but one of the characters is two of them.
      {[](AuditBundle& b) { b.input_digest_hex = std::string(62, 'a') + "\xc3\xa9"; },
       "input_digest" + hex64},
  };
  ASSERT_TRUE(validate_audit_bundle(canonical()));
  for (const auto& [spoil, message] : cases) {
    AuditBundle b = canonical();
    spoil(b);
    auto r = validate_audit_bundle(b);
    ASSERT_FALSE(r) << message;
    EXPECT_EQ(r.error().message(), message);
  }
}

}  // namespace
}  // namespace morvatel
