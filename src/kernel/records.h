#ifndef MORVATEL_KERNEL_RECORDS_H_
#define MORVATEL_KERNEL_RECORDS_H_

// The three fixed-width records every part of the system exchanges, the two
// code enumerations a decision carries, and the request check.
//
// Field order is significant: it is the order of the Python constructors, of
// as_dict, of the JSON forms and of the digest layouts. Each record therefore
// comes with for_each_field, the one place that order is written down.

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>

namespace morvatel {

struct KernelInput {
  uint64_t request_sequence = 0;
  uint32_t requested_model_id = 0;
  uint32_t input_tokens = 0;
  uint32_t output_tokens = 0;
  int64_t business_value_microunits = 0;
  uint64_t budget_limit_microunits = 0;
  uint16_t risk_bps = 0;
  uint16_t confidence_bps = 0;
  uint16_t minimum_quality_bps = 0;
  uint32_t max_p95_latency_ms = 0;
  uint64_t required_capabilities = 0;
  uint64_t allowed_provider_mask = 0;
  uint64_t required_region_mask = 0;

  bool operator==(const KernelInput&) const = default;
};

struct KernelModel {
  uint32_t model_id = 0;
  uint16_t provider_id = 0;
  uint16_t quality_bps = 0;
  uint16_t risk_ceiling_bps = 0;
  uint8_t enabled = 0;
  uint32_t p95_latency_ms = 0;
  uint64_t capabilities = 0;
  uint64_t region_mask = 0;
  uint64_t input_cost_microunits_per_million_tokens = 0;
  uint64_t output_cost_microunits_per_million_tokens = 0;

  bool operator==(const KernelModel&) const = default;
};

enum class KernelAction : uint8_t {
  ExecuteRequested = 1,
  Substitute = 2,
  Reject = 3,
};

enum class KernelReason : uint16_t {
  RequestedModelMaximizesUtility = 1,
  AlternativeMaximizesUtility = 2,
  RiskHardLimit = 100,
  ConfidenceHardLimit = 101,
  NoEnabledModel = 102,
  QualityConstraint = 103,
  LatencyConstraint = 104,
  CapabilityConstraint = 105,
  ProviderConstraint = 106,
  RegionConstraint = 107,
  BudgetConstraint = 108,
  NonPositiveUtility = 109,
  RiskCeilingConstraint = 110,
};

inline constexpr uint16_t kNoSelectedIndex = 0xFFFF;

struct KernelDecision {
  uint64_t request_sequence = 0;
  KernelAction action = KernelAction::Reject;
  KernelReason reason = KernelReason::NoEnabledModel;
  uint32_t selected_model_id = 0;
  uint16_t selected_model_index = kNoSelectedIndex;
  uint64_t estimated_cost_microunits = 0;
  int64_t expected_utility_microunits = 0;
  uint32_t counterfactual_model_id = 0;
  int64_t counterfactual_utility_microunits = 0;
  uint16_t evaluated_models = 0;
  uint16_t eligible_models = 0;
  uint64_t policy_epoch = 0;
  uint64_t catalog_epoch = 0;

  bool operator==(const KernelDecision&) const = default;
};

// Calls f(name, field) for every field of a record, in declaration order.
// Works on const and non-const records alike.
template <typename R, typename F>
  requires std::same_as<std::remove_const_t<R>, KernelInput>
constexpr void for_each_field(R& r, F&& f) {
  f("request_sequence", r.request_sequence);
  f("requested_model_id", r.requested_model_id);
  f("input_tokens", r.input_tokens);
  f("output_tokens", r.output_tokens);
  f("business_value_microunits", r.business_value_microunits);
  f("budget_limit_microunits", r.budget_limit_microunits);
  f("risk_bps", r.risk_bps);
  f("confidence_bps", r.confidence_bps);
  f("minimum_quality_bps", r.minimum_quality_bps);
  f("max_p95_latency_ms", r.max_p95_latency_ms);
  f("required_capabilities", r.required_capabilities);
  f("allowed_provider_mask", r.allowed_provider_mask);
  f("required_region_mask", r.required_region_mask);
}

template <typename R, typename F>
  requires std::same_as<std::remove_const_t<R>, KernelModel>
constexpr void for_each_field(R& r, F&& f) {
  f("model_id", r.model_id);
  f("provider_id", r.provider_id);
  f("quality_bps", r.quality_bps);
  f("risk_ceiling_bps", r.risk_ceiling_bps);
  f("enabled", r.enabled);
  f("p95_latency_ms", r.p95_latency_ms);
  f("capabilities", r.capabilities);
  f("region_mask", r.region_mask);
  f("input_cost_microunits_per_million_tokens", r.input_cost_microunits_per_million_tokens);
  f("output_cost_microunits_per_million_tokens", r.output_cost_microunits_per_million_tokens);
}

template <typename R, typename F>
  requires std::same_as<std::remove_const_t<R>, KernelDecision>
constexpr void for_each_field(R& r, F&& f) {
  f("request_sequence", r.request_sequence);
  f("action", r.action);
  f("reason", r.reason);
  f("selected_model_id", r.selected_model_id);
  f("selected_model_index", r.selected_model_index);
  f("estimated_cost_microunits", r.estimated_cost_microunits);
  f("expected_utility_microunits", r.expected_utility_microunits);
  f("counterfactual_model_id", r.counterfactual_model_id);
  f("counterfactual_utility_microunits", r.counterfactual_utility_microunits);
  f("evaluated_models", r.evaluated_models);
  f("eligible_models", r.eligible_models);
  f("policy_epoch", r.policy_epoch);
  f("catalog_epoch", r.catalog_epoch);
}

inline constexpr size_t kKernelInputFields = 13;
inline constexpr size_t kKernelModelFields = 10;
inline constexpr size_t kKernelDecisionFields = 13;

// The three forms of a code: the integer (records, digests), the snake_case
// text (everything handed to Python) and the enumerator's name (JSON and debug).
inline constexpr uint8_t code(KernelAction a) { return static_cast<uint8_t>(a); }
inline constexpr uint16_t code(KernelReason r) { return static_cast<uint16_t>(r); }
std::string_view text(KernelAction a);
std::string_view text(KernelReason r);
std::string_view variant_name(KernelAction a);
std::string_view variant_name(KernelReason r);

// Every action and reason, in code order.
inline constexpr KernelAction kAllActions[] = {KernelAction::ExecuteRequested,
                                               KernelAction::Substitute, KernelAction::Reject};
inline constexpr KernelReason kAllReasons[] = {KernelReason::RequestedModelMaximizesUtility,
                                               KernelReason::AlternativeMaximizesUtility,
                                               KernelReason::RiskHardLimit,
                                               KernelReason::ConfidenceHardLimit,
                                               KernelReason::NoEnabledModel,
                                               KernelReason::QualityConstraint,
                                               KernelReason::LatencyConstraint,
                                               KernelReason::CapabilityConstraint,
                                               KernelReason::ProviderConstraint,
                                               KernelReason::RegionConstraint,
                                               KernelReason::BudgetConstraint,
                                               KernelReason::NonPositiveUtility,
                                               KernelReason::RiskCeilingConstraint};

std::optional<KernelAction> action_from_variant(std::string_view name);
std::optional<KernelReason> reason_from_variant(std::string_view name);
std::optional<KernelAction> action_from_code(uint64_t code);
std::optional<KernelReason> reason_from_code(uint64_t code);

// A basis-point field above its inclusive bound: "{} must be <= {}, got {}".
struct BoundExceeded {
  std::string_view name;
  uint16_t limit = 0;
  uint16_t value = 0;

  std::string message() const;
};

inline constexpr uint16_t kFullProbabilityBps = 10000;

// The check every request passes before the kernel sees it: the three
// basis-point fields, in this order, each at most 10000.
std::expected<void, BoundExceeded> validate_input(const KernelInput& input);

// "KernelDecision { request_sequence: 1, action: Reject, ... }", the form
// verification messages quote.
std::string debug_string(const KernelDecision& d);

}  // namespace morvatel

#endif  // MORVATEL_KERNEL_RECORDS_H_
