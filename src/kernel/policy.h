#ifndef MORVATEL_KERNEL_POLICY_H_
#define MORVATEL_KERNEL_POLICY_H_

// The immutable policy every decision is computed on: six parameters and a
// catalogue of models in ascending model_id order.
//
// The catalogue is shared by reference between every value that refers to
// it (snapshots, batch copies, counterfactual copies); it is never mutated
// once built. Each value also carries four catalogue maxima, recomputed
// whenever a value is built, so the prescription can prove once per request
// that its 64-bit arithmetic cannot overflow.

#include <cstdint>
#include <expected>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "kernel/records.h"

namespace morvatel {

inline constexpr uint16_t kMaxProviderId = 63;
inline constexpr size_t kMaxCatalogEntries = 65535;
inline constexpr uint16_t kMaxRiskPenaltyMultiplierBps = 50000;

struct PolicyParams {
  uint64_t policy_epoch = 0;
  uint64_t catalog_epoch = 0;
  uint16_t hard_risk_limit_bps = 0;
  uint16_t minimum_confidence_bps = 0;
  uint16_t risk_penalty_multiplier_bps = 0;
  uint64_t latency_penalty_microunits_per_ms = 0;

  bool operator==(const PolicyParams&) const = default;
};

// Plain maxima over the catalogue; all 0 for an empty one.
struct CatalogMaxima {
  uint16_t quality_bps = 0;
  uint32_t p95_latency_ms = 0;
  uint64_t input_cost_microunits_per_million_tokens = 0;
  uint64_t output_cost_microunits_per_million_tokens = 0;
};

using Catalog = std::shared_ptr<const std::vector<KernelModel>>;

struct GateColumns;  // kernel/evaluate.h

class PolicySnapshot {
 public:
  // Builds a value without any check. The maxima and the gate columns are
  // computed here, which is the only way a value comes to exist, so they
  // can never be stale.
  static PolicySnapshot new_unchecked(const PolicyParams& params, Catalog models);

  const PolicyParams& params() const { return params_; }
  std::span<const KernelModel> models() const { return *models_; }
  const Catalog& shared_models() const { return models_; }
  const CatalogMaxima& maxima() const { return maxima_; }
  // The catalogue's gate inputs in groups of columns, for the kernel's loop.
  const GateColumns& gate_columns() const { return *gates_; }

  uint64_t policy_epoch() const { return params_.policy_epoch; }
  uint64_t catalog_epoch() const { return params_.catalog_epoch; }

 private:
  PolicySnapshot(const PolicyParams& params, Catalog models);

  PolicyParams params_;
  Catalog models_;
  CatalogMaxima maxima_;
  std::shared_ptr<const GateColumns> gates_;  // shared by copies, like the catalogue
};

// Policy validation failures; each owns its text.
struct EmptyCatalog {};
struct DuplicateModelId {
  uint32_t model_id;
};
struct ProviderIdOutOfRange {
  uint32_t model_id;
  uint16_t provider_id;
};
struct CatalogWithoutEnabledModel {};

struct PolicyError {
  std::variant<EmptyCatalog, DuplicateModelId, ProviderIdOutOfRange, CatalogWithoutEnabledModel,
               BoundExceeded>
      kind;
  std::string message() const;
};

// Checks that the binding makes before policy validation proper.
struct CatalogTooLarge {
  size_t count;
  size_t maximum;
};
struct ReservedModelId {};
struct NonCanonicalEnabledFlag {
  uint32_t model_id;
  uint8_t flag;
};

// Anything construction can refuse; message() is the exact text raised, with
// policy errors behind "policy validation failed: ".
struct SnapshotError {
  std::variant<CatalogTooLarge, ReservedModelId, NonCanonicalEnabledFlag, PolicyError> kind;
  std::string message() const;
};

// The validating constructor: the catalogue checks in their fixed order, a
// stable sort by model_id, then policy validation. Nothing is built on
// failure.
std::expected<PolicySnapshot, SnapshotError> try_new_trusted(const PolicyParams& params,
                                                             std::vector<KernelModel> models);

// Policy validation alone, over a value already built (catalogue sorted).
std::expected<void, PolicyError> validate_policy(const PolicySnapshot& snapshot);

}  // namespace morvatel

#endif  // MORVATEL_KERNEL_POLICY_H_
