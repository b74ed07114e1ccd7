#include "kernel/records.h"

#include "text.h"

namespace morvatel {

namespace {

struct ReasonNames {
  KernelReason reason;
  std::string_view text;
  std::string_view variant;
};

constexpr ReasonNames kReasonNames[] = {
    {KernelReason::RequestedModelMaximizesUtility, "requested_model_maximizes_utility",
     "RequestedModelMaximizesUtility"},
    {KernelReason::AlternativeMaximizesUtility, "alternative_maximizes_utility",
     "AlternativeMaximizesUtility"},
    {KernelReason::RiskHardLimit, "risk_hard_limit", "RiskHardLimit"},
    {KernelReason::ConfidenceHardLimit, "confidence_hard_limit", "ConfidenceHardLimit"},
    {KernelReason::NoEnabledModel, "no_enabled_model", "NoEnabledModel"},
    {KernelReason::QualityConstraint, "quality_constraint", "QualityConstraint"},
    {KernelReason::LatencyConstraint, "latency_constraint", "LatencyConstraint"},
    {KernelReason::CapabilityConstraint, "capability_constraint", "CapabilityConstraint"},
    {KernelReason::ProviderConstraint, "provider_constraint", "ProviderConstraint"},
    {KernelReason::RegionConstraint, "region_constraint", "RegionConstraint"},
    {KernelReason::BudgetConstraint, "budget_constraint", "BudgetConstraint"},
    {KernelReason::NonPositiveUtility, "non_positive_utility", "NonPositiveUtility"},
    {KernelReason::RiskCeilingConstraint, "risk_ceiling_constraint", "RiskCeilingConstraint"},
};

constexpr std::string_view kActionTexts[] = {"execute_requested", "substitute", "reject"};
constexpr std::string_view kActionVariants[] = {"ExecuteRequested", "Substitute", "Reject"};

const ReasonNames& names_of(KernelReason r) {
  for (const auto& n : kReasonNames) {
    if (n.reason == r) return n;
  }
  // Records only ever hold defined codes; the readers refuse anything else.
  return kReasonNames[4];
}

size_t action_slot(KernelAction a) { return static_cast<size_t>(code(a)) - 1; }

}  // namespace

std::string_view text(KernelAction a) { return kActionTexts[action_slot(a)]; }
std::string_view variant_name(KernelAction a) { return kActionVariants[action_slot(a)]; }
std::string_view text(KernelReason r) { return names_of(r).text; }
std::string_view variant_name(KernelReason r) { return names_of(r).variant; }

std::optional<KernelAction> action_from_variant(std::string_view name) {
  for (KernelAction a : kAllActions) {
    if (variant_name(a) == name) return a;
  }
  return std::nullopt;
}

std::optional<KernelReason> reason_from_variant(std::string_view name) {
  for (const auto& n : kReasonNames) {
    if (n.variant == name) return n.reason;
  }
  return std::nullopt;
}

std::optional<KernelAction> action_from_code(uint64_t c) {
  if (c >= 1 && c <= 3) return static_cast<KernelAction>(c);
  return std::nullopt;
}

std::optional<KernelReason> reason_from_code(uint64_t c) {
  for (const auto& n : kReasonNames) {
    if (code(n.reason) == c) return n.reason;
  }
  return std::nullopt;
}

std::string BoundExceeded::message() const {
  return str_cat(name, " must be <= ", limit, ", got ", value);
}

std::expected<void, BoundExceeded> validate_input(const KernelInput& input) {
  if (input.risk_bps > kFullProbabilityBps) {
    return std::unexpected(BoundExceeded{"risk_bps", kFullProbabilityBps, input.risk_bps});
  }
  if (input.confidence_bps > kFullProbabilityBps) {
    return std::unexpected(
        BoundExceeded{"confidence_bps", kFullProbabilityBps, input.confidence_bps});
  }
  if (input.minimum_quality_bps > kFullProbabilityBps) {
    return std::unexpected(
        BoundExceeded{"minimum_quality_bps", kFullProbabilityBps, input.minimum_quality_bps});
  }
  return {};
}

std::string debug_string(const KernelDecision& d) {
  std::string out = "KernelDecision { ";
  bool first = true;
  for_each_field(d, [&](std::string_view name, const auto& value) {
    if (!first) out.append(", ");
    first = false;
    str_append(out, name, ": ");
    using T = std::remove_cvref_t<decltype(value)>;
    if constexpr (std::is_enum_v<T>) {
      out.append(variant_name(value));
    } else {
      str_append(out, value);
    }
  });
  out.append(" }");
  return out;
}

}  // namespace morvatel
