#include "kernel/policy.h"

#include <algorithm>

#include "kernel/evaluate.h"
#include "text.h"

namespace morvatel {

namespace {

template <class... Fs>
struct Overloaded : Fs... {
  using Fs::operator()...;
};
template <class... Fs>
Overloaded(Fs...) -> Overloaded<Fs...>;

CatalogMaxima compute_maxima(std::span<const KernelModel> models) {
  CatalogMaxima m;
  for (const KernelModel& k : models) {
    m.quality_bps = std::max(m.quality_bps, k.quality_bps);
    m.p95_latency_ms = std::max(m.p95_latency_ms, k.p95_latency_ms);
    m.input_cost_microunits_per_million_tokens = std::max(
        m.input_cost_microunits_per_million_tokens, k.input_cost_microunits_per_million_tokens);
    m.output_cost_microunits_per_million_tokens = std::max(
        m.output_cost_microunits_per_million_tokens, k.output_cost_microunits_per_million_tokens);
  }
  return m;
}

}  // namespace

PolicySnapshot::PolicySnapshot(const PolicyParams& params, Catalog models)
    : params_(params),
      models_(std::move(models)),
      maxima_(compute_maxima(*models_)),
      gates_(std::make_shared<const GateColumns>(*models_)) {}

PolicySnapshot PolicySnapshot::new_unchecked(const PolicyParams& params, Catalog models) {
  if (!models) models = std::make_shared<const std::vector<KernelModel>>();
  return PolicySnapshot(params, std::move(models));
}

std::string PolicyError::message() const {
  return std::visit(Overloaded{
                        [](const EmptyCatalog&) -> std::string { return "model catalog is empty"; },
                        [](const DuplicateModelId& e) {
                          return str_cat("duplicate model_id ", e.model_id);
                        },
                        [](const ProviderIdOutOfRange& e) {
                          return str_cat("model_id ", e.model_id, " has provider_id ",
                                         e.provider_id, " > MAX_PROVIDER_ID");
                        },
                        [](const CatalogWithoutEnabledModel&) -> std::string {
                          return "no enabled models in catalog";
                        },
                        [](const BoundExceeded& e) { return e.message(); },
                    },
                    kind);
}

std::string SnapshotError::message() const {
  return std::visit(
      Overloaded{
          [](const CatalogTooLarge& e) {
            return str_cat("model catalog has ", e.count, " entries; maximum is ", e.maximum);
          },
          [](const ReservedModelId&) -> std::string {
            return "model_id 0 is reserved for decisions with no selected model";
          },
          [](const NonCanonicalEnabledFlag& e) {
            return str_cat("model_id ", e.model_id, " has non-canonical enabled flag ", e.flag,
                           "; expected 0 or 1");
          },
          [](const PolicyError& e) { return str_cat("policy validation failed: ", e.message()); },
      },
      kind);
}

std::expected<void, PolicyError> validate_policy(const PolicySnapshot& snapshot) {
  const PolicyParams& p = snapshot.params();
  auto bound = [](std::string_view name, uint16_t limit, uint16_t value) {
    return std::unexpected(PolicyError{BoundExceeded{name, limit, value}});
  };
  if (p.hard_risk_limit_bps > kFullProbabilityBps) {
    return bound("hard_risk_limit_bps", kFullProbabilityBps, p.hard_risk_limit_bps);
  }
  if (p.minimum_confidence_bps > kFullProbabilityBps) {
    return bound("minimum_confidence_bps", kFullProbabilityBps, p.minimum_confidence_bps);
  }
  if (p.risk_penalty_multiplier_bps > kMaxRiskPenaltyMultiplierBps) {
    return bound("risk_penalty_multiplier_bps", kMaxRiskPenaltyMultiplierBps,
                 p.risk_penalty_multiplier_bps);
  }
  std::span<const KernelModel> models = snapshot.models();
  if (models.empty()) return std::unexpected(PolicyError{EmptyCatalog{}});
  // The catalogue is sorted, so a repeated id is always next to its twin;
  // tracking the previous id is enough and allocates nothing.
  bool any_enabled = false;
  for (size_t i = 0; i < models.size(); ++i) {
    const KernelModel& m = models[i];
    if (i > 0 && models[i - 1].model_id == m.model_id) {
      return std::unexpected(PolicyError{DuplicateModelId{m.model_id}});
    }
    if (m.provider_id > kMaxProviderId) {
      return std::unexpected(PolicyError{ProviderIdOutOfRange{m.model_id, m.provider_id}});
    }
    if (m.quality_bps > kFullProbabilityBps) {
      return bound("model.quality_bps", kFullProbabilityBps, m.quality_bps);
    }
    if (m.risk_ceiling_bps > kFullProbabilityBps) {
      return bound("model.risk_ceiling_bps", kFullProbabilityBps, m.risk_ceiling_bps);
    }
    any_enabled = any_enabled || m.enabled == 1;
  }
  if (!any_enabled) return std::unexpected(PolicyError{CatalogWithoutEnabledModel{}});
  return {};
}

std::expected<PolicySnapshot, SnapshotError> try_new_trusted(const PolicyParams& params,
                                                             std::vector<KernelModel> models) {
  if (models.size() > kMaxCatalogEntries) {
    return std::unexpected(SnapshotError{CatalogTooLarge{models.size(), kMaxCatalogEntries}});
  }
  // The reserved-id scan covers the whole list before any flag is looked at.
  for (const KernelModel& m : models) {
    if (m.model_id == 0) return std::unexpected(SnapshotError{ReservedModelId{}});
  }
  for (const KernelModel& m : models) {
    if (m.enabled > 1) {
      return std::unexpected(SnapshotError{NonCanonicalEnabledFlag{m.model_id, m.enabled}});
    }
  }
  std::stable_sort(models.begin(), models.end(), [](const KernelModel& a, const KernelModel& b) {
    return a.model_id < b.model_id;
  });
  PolicySnapshot snapshot = PolicySnapshot::new_unchecked(
      params, std::make_shared<const std::vector<KernelModel>>(std::move(models)));
  if (auto ok = validate_policy(snapshot); !ok) {
    return std::unexpected(SnapshotError{std::move(ok.error())});
  }
  return snapshot;
}

}  // namespace morvatel
