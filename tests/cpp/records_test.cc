#include "kernel/records.h"

#include <gtest/gtest.h>

#include "text.h"

namespace morvatel {
namespace {

TEST(Records, ReasonFormsRoundTripThroughEveryForm) {
  for (KernelReason r : kAllReasons) {
    EXPECT_EQ(reason_from_variant(variant_name(r)), r);
    EXPECT_EQ(reason_from_code(code(r)), r);
  }
  for (KernelAction a : kAllActions) {
    EXPECT_EQ(action_from_variant(variant_name(a)), a);
    EXPECT_EQ(action_from_code(code(a)), a);
  }
  EXPECT_EQ(text(KernelReason::NoEnabledModel), "no_enabled_model");
  EXPECT_EQ(variant_name(KernelReason::NoEnabledModel), "NoEnabledModel");
  EXPECT_EQ(text(KernelAction::ExecuteRequested), "execute_requested");
}

TEST(Records, NoCodeOutsideTheTables) {
  for (uint64_t c = 0; c < 1000; ++c) {
    bool defined = c == 1 || c == 2 || (c >= 100 && c <= 110);
    EXPECT_EQ(reason_from_code(c).has_value(), defined) << c;
  }
  EXPECT_FALSE(action_from_code(0) || action_from_code(4));
  EXPECT_FALSE(reason_from_variant("reject") || action_from_variant("reject"));
}

TEST(Records, ValidateInputStopsAtFirstFailingBound) {
  KernelInput in;
  in.risk_bps = 10001;
  in.confidence_bps = 20000;
  EXPECT_EQ(validate_input(in).error().message(), "risk_bps must be <= 10000, got 10001");
  in.risk_bps = 10000;
  EXPECT_EQ(validate_input(in).error().message(), "confidence_bps must be <= 10000, got 20000");
  in.confidence_bps = 10000;
  in.minimum_quality_bps = 10001;
  EXPECT_EQ(validate_input(in).error().message(),
            "minimum_quality_bps must be <= 10000, got 10001");
  in.minimum_quality_bps = 10000;
  EXPECT_TRUE(validate_input(in));
}

TEST(Records, DebugFormQuotesEveryFieldInOrder) {
  KernelDecision d{.request_sequence = 7,
                   .action = KernelAction::Reject,
                   .reason = KernelReason::RiskHardLimit,
                   .expected_utility_microunits = -5,
                   .policy_epoch = 3,
                   .catalog_epoch = 4};
  EXPECT_EQ(debug_string(d),
            "KernelDecision { request_sequence: 7, action: Reject, reason: RiskHardLimit, "
            "selected_model_id: 0, selected_model_index: 65535, estimated_cost_microunits: 0, "
            "expected_utility_microunits: -5, counterfactual_model_id: 0, "
            "counterfactual_utility_microunits: 0, evaluated_models: 0, eligible_models: 0, "
            "policy_epoch: 3, catalog_epoch: 4 }");
}

TEST(Text, WritesWideIntegersExactly) {
  unsigned __int128 big = static_cast<unsigned __int128>(UINT64_MAX) * UINT64_MAX;
  EXPECT_EQ(str_cat(big), "340282366920938463426481119284349108225");
  __int128 most_negative = static_cast<__int128>(static_cast<unsigned __int128>(1) << 127);
  EXPECT_EQ(str_cat(most_negative), "-170141183460469231731687303715884105728");
  EXPECT_EQ(str_cat(static_cast<__int128>(-1)), "-1");
  EXPECT_EQ(str_cat(static_cast<unsigned __int128>(0)), "0");
}

}  // namespace
}  // namespace morvatel
