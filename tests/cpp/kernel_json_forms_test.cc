#include "kernel/json_forms.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace morvatel {
namespace {

// Values at the ends of their widths where that shows the width.
// clang-format off
const KernelInput kInput{18446744073709551615u, 4294967295u, 1200, 300, -5, 50000, 20000,
                         9000, 65535, 800, 3, 18446744073709551615u, 1};
const KernelDecision kDecision{7, KernelAction::Substitute, KernelReason::RiskHardLimit, 42,
                               65535, 99, -9223372036854775807 - 1, 1, 9223372036854775807,
                               3, 2, 5, 6};
// clang-format on

template <typename T>
std::string error_of(std::string_view text) {
  auto r = json::parse<T>(text);
  return r ? "<accepted>" : r.error().message();
}

std::string replace(std::string s, std::string_view from, std::string_view to) {
  auto at = s.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  return s.replace(at, from.size(), to);
}

TEST(KernelJsonForms, WritesTheCompactFormInDeclarationOrder) {
  EXPECT_EQ(to_json(kInput),
            R"({"request_sequence":18446744073709551615,"requested_model_id":4294967295,)"
            R"("input_tokens":1200,"output_tokens":300,"business_value_microunits":-5,)"
            R"("budget_limit_microunits":50000,"risk_bps":20000,"confidence_bps":9000,)"
            R"("minimum_quality_bps":65535,"max_p95_latency_ms":800,"required_capabilities":3,)"
            R"("allowed_provider_mask":18446744073709551615,"required_region_mask":1})");
  EXPECT_EQ(to_json(kDecision),
            R"({"request_sequence":7,"action":"Substitute","reason":"RiskHardLimit",)"
            R"("selected_model_id":42,"selected_model_index":65535,"estimated_cost_microunits":99,)"
            R"("expected_utility_microunits":-9223372036854775808,"counterfactual_model_id":1,)"
            R"("counterfactual_utility_microunits":9223372036854775807,"evaluated_models":3,)"
            R"("eligible_models":2,"policy_epoch":5,"catalog_epoch":6})");
}

TEST(KernelJsonForms, ReverseOrderAndArrayFormReadBackTheSameRecord) {
  const KernelInput& in = kInput;
  std::string reversed = "{";
  std::vector<std::string> members;
  for_each_field(in, [&](std::string_view name, const auto& v) {
    members.push_back("\"" + std::string(name) + "\" : " + std::to_string(v));
  });
  for (size_t i = members.size(); i-- > 0;) reversed += members[i] + (i ? ",\n" : "}");
  EXPECT_EQ(json::parse<KernelInput>(reversed), in);

  std::string array = "[";
  for_each_field(in, [&](std::string_view, const auto& v) { array += std::to_string(v) + ","; });
  array.back() = ']';
  EXPECT_EQ(json::parse<KernelInput>(array), in);
  EXPECT_EQ(error_of<KernelInput>(array.substr(0, array.rfind(',')) + "]"),
            "invalid length 12, expected struct KernelInput with 13 elements at line 1 column " +
                std::to_string(array.rfind(',') + 1));
  EXPECT_EQ(error_of<KernelInput>(array.substr(0, array.size() - 1) + ",1]"),
            "trailing characters at line 1 column " + std::to_string(array.size() + 1));
}

TEST(KernelJsonForms, UnknownFieldListsAllThirteenNames) {
  std::string text = replace(to_json(kInput), "{", R"({"note":1,)");
  EXPECT_EQ(error_of<KernelInput>(text),
            "unknown field `note`, expected one of `request_sequence`, `requested_model_id`, "
            "`input_tokens`, `output_tokens`, `business_value_microunits`, "
            "`budget_limit_microunits`, `risk_bps`, `confidence_bps`, `minimum_quality_bps`, "
            "`max_p95_latency_ms`, `required_capabilities`, `allowed_provider_mask`, "
            "`required_region_mask` at line 1 column 7");
  EXPECT_EQ(error_of<KernelDecision>("{}"), "missing field `request_sequence` at line 1 column 2");
  std::string dup = replace(to_json(kDecision), "}", R"(,"reason":"RiskHardLimit"})");
  EXPECT_EQ(error_of<KernelDecision>(dup), "duplicate field `reason` at line 1 column " +
                                               std::to_string(dup.rfind("\"reason\"") + 8));
  EXPECT_EQ(error_of<KernelDecision>("true"),
            "invalid type: boolean `true`, expected struct KernelDecision at line 1 column 4");
}

TEST(KernelJsonForms, WidthsAreTheOnlyBoundsOnIntegers) {
  const std::string base = to_json(kInput);
  EXPECT_TRUE(
      json::parse<KernelInput>(replace(base, R"("risk_bps":20000)", R"("risk_bps":65535)")));
  std::string over = replace(base, R"("risk_bps":20000)", R"("risk_bps":70000)");
  size_t at = over.find("70000") + 5;
  EXPECT_EQ(error_of<KernelInput>(over),
            "invalid value: integer `70000`, expected u16 at line 1 column " + std::to_string(at));
  std::string neg_budget = replace(base, R"("budget_limit_microunits":50000)",
                                   R"("budget_limit_microunits":-5)");
  EXPECT_EQ(error_of<KernelInput>(neg_budget),
            "invalid value: integer `-5`, expected u64 at line 1 column " +
                std::to_string(neg_budget.find("budget_limit_microunits\":-5") + 27));
  EXPECT_EQ(error_of<KernelInput>(
                replace(base, "\"input_tokens\":1200", "\"input_tokens\":4294967296")),
            "invalid value: integer `4294967296`, expected u32 at line 1 column 98");
}

TEST(KernelJsonForms, ActionsAndReasonsOnlyAsVariantNames) {
  const std::string base = to_json(kDecision);
  const std::pair<std::string_view, std::string_view> actions[] = {
      {R"("Reject")", "<accepted>"},
      {R"({"Reject":null})", "<accepted>"},
      {R"( { "Reject" : null } )", "<accepted>"},
      {R"("reject")",
       "unknown variant `reject`, expected one of `ExecuteRequested`, `Substitute`, `Reject` "
       "at line 1 column 39"},
      {"3", "expected value at line 1 column 32"},
      {"null", "expected value at line 1 column 32"},
      {"{3:null}", "invalid type: integer `3`, expected variant identifier at line 1 column 33"},
      {R"({"Reject":1})", "invalid type: integer `1`, expected unit at line 1 column 42"},
      {R"({"Reject":null,"Substitute":null})", "expected value at line 1 column 45"},
  };
  for (const auto& [action, expected] : actions) {
    EXPECT_EQ(error_of<KernelDecision>(replace(base, R"("Substitute")", action)), expected)
        << action;
  }
  auto reason = error_of<KernelDecision>(
      replace(base, R"("RiskHardLimit")", R"("risk_hard_limit")"));
  EXPECT_EQ(
      reason.substr(0, reason.find(" at line")),
      "unknown variant `risk_hard_limit`, expected one of `RequestedModelMaximizesUtility`, "
      "`AlternativeMaximizesUtility`, `RiskHardLimit`, `ConfidenceHardLimit`, `NoEnabledModel`, "
      "`QualityConstraint`, `LatencyConstraint`, `CapabilityConstraint`, `ProviderConstraint`, "
      "`RegionConstraint`, `BudgetConstraint`, `NonPositiveUtility`, `RiskCeilingConstraint`");
}

TEST(KernelJsonForms, WritingThenReadingAnyRecordGivesItBack) {
  std::mt19937_64 rng(7);
  auto any = [&] { return rng() >> (rng() % 64); };
  for (int i = 0; i < 2000; ++i) {
    KernelInput in;
    for_each_field(in, [&](std::string_view, auto& v) {
      v = static_cast<std::remove_reference_t<decltype(v)>>(any());
    });
    EXPECT_EQ(json::parse<KernelInput>(to_json(in)), in);
    KernelDecision d;
    for_each_field(d, [&]<typename T>(std::string_view, T& v) {
      if constexpr (std::is_same_v<T, KernelAction>) {
        v = kAllActions[rng() % std::size(kAllActions)];
      } else if constexpr (std::is_same_v<T, KernelReason>) {
        v = kAllReasons[rng() % std::size(kAllReasons)];
      } else {
        v = static_cast<T>(any());
      }
    });
    EXPECT_EQ(json::parse<KernelDecision>(to_json(d)), d);
  }
}

}  // namespace
}  // namespace morvatel
