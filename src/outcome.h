#ifndef MORVATEL_OUTCOME_H_
#define MORVATEL_OUTCOME_H_

// Outcome records: what was done about a decision, how the acted-on model
// was chosen, and what was measured afterwards.
//
// A later learner estimates the value of choices that were not taken from
// these records, which is honest only if the probability of each choice was
// recorded when it was made. validate() therefore refuses every shape that
// would quietly poison that analysis, and the digests let outside verifiers
// tie a record to its decision without trusting whoever stored it.

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

#include "crypto.h"
#include "kernel/policy.h"
#include "kernel/records.h"

namespace morvatel {

// What was measured. Every field is optional because a pipeline learns them
// at different times, and an absent measurement must never read as zero.
struct Observation {
  std::optional<uint64_t> realized_cost_microunits;
  std::optional<uint32_t> realized_latency_ms;
  std::optional<bool> succeeded;

  bool empty() const { return !realized_cost_microunits && !realized_latency_ms && !succeeded; }
  // The debug form, which writes an empty optional as None and a set one as
  // Some(value): "Observation(cost=Some(5), latency_ms=None, succeeded=Some(true))".
  std::string debug_string() const;

  bool operator==(const Observation&) const = default;
};

// How the acted-on model was chosen. The codes are hashed into the selection
// digest and must keep their values.
enum class SelectionStrategy : uint8_t {
  MaximiseUtility = 0,  // the kernel's ranked winner; deterministic
  Explore = 1,          // another candidate, drawn by the caller with a known probability
  Human = 2,            // another candidate, chosen by a person
};

// What was done. The codes are hashed into the record digest.
enum class Disposition : uint8_t {
  Applied = 0,
  Abandoned = 1,
  InFlight = 2,
};

inline constexpr uint8_t code(SelectionStrategy s) { return static_cast<uint8_t>(s); }
inline constexpr uint8_t code(Disposition d) { return static_cast<uint8_t>(d); }
std::string_view text(SelectionStrategy s);  // "maximise_utility", "explore", "human"
std::string_view debug_name(SelectionStrategy s);  // "MaximiseUtility", ...
std::string_view text(Disposition d);  // "applied", "abandoned", "in_flight"
std::optional<Disposition> disposition_from_text(std::string_view text);

// Which part of a record's identity differs from a decision's.
enum class IdentityField : uint8_t { Policy, Input, Decision, RequestSequence };
std::string_view text(IdentityField f);  // "policy", "input", "decision", "request sequence"

enum class OutcomeErrorKind : uint8_t {
  PropensityOutOfRange = 0,
  DeterministicPropensity = 1,
  MissingPropensity = 2,
  HumanPropensity = 3,
  EmptyObservation = 4,
  AbandonedObserved = 5,
  InFlightResolved = 6,
  RejectionActedOn = 7,
  WinnerMismatch = 8,
  UnknownModel = 9,
  IdentityMismatch = 10,
};

struct OutcomeError {
  OutcomeErrorKind kind;
  // The values the message quotes; which are meaningful depends on kind.
  uint32_t value = 0;     // propensity, acted model id, or unknown model id
  uint32_t selected = 0;  // WinnerMismatch: the decision's selected model
  SelectionStrategy strategy = SelectionStrategy::MaximiseUtility;  // MissingPropensity
  IdentityField field = IdentityField::Policy;                      // IdentityMismatch

  std::string message() const;
  bool operator==(const OutcomeError&) const = default;
};

// The three digests: SHA-256 over the byte layouts below, integers
// little-endian at their C++ widths and nothing between the fields. They
// take the kernel digests as inputs so outside verifiers can recompute them
// from stored hex without a policy at hand. An optional field is one
// presence byte (0 absent, 1 present) followed, only when present, by its
// value; a bool value is one byte, 0 or 1.
//
// Identity, 113 bytes: "morvidn1", 0x00; the policy, input and decision
// digests (32 bytes each); request_sequence (uint64_t).
//
// Selection, 15 or 17 bytes: "morvsel1", 0x00; the strategy's code
// (uint8_t); acted_model_id (uint32_t); propensity_bps as an optional
// uint16_t.
//
// Record, 89 to 102 bytes: "morvout1", 0x00; the identity digest (32
// bytes); observed_at_micros (uint64_t); revision (uint32_t); the selection
// digest (32 bytes); the disposition's code (uint8_t); then the observation
// as three optionals: realized_cost_microunits (uint64_t),
// realized_latency_ms (uint32_t), succeeded (bool).
Digest32 outcome_identity_digest(const Digest32& policy_digest, const Digest32& input_digest,
                                 const Digest32& decision_digest, uint64_t request_sequence);
Digest32 outcome_selection_digest(SelectionStrategy strategy, uint32_t acted_model_id,
                                  std::optional<uint16_t> propensity_bps);
Digest32 outcome_record_digest(const Digest32& identity_digest, uint64_t observed_at_micros,
                               uint32_t revision, const Digest32& selection_digest,
                               Disposition disposition, const Observation& observation);

struct Outcome {
  Observation observation;
  Digest32 policy_digest{};
  Digest32 input_digest{};
  Digest32 decision_digest{};
  uint64_t request_sequence = 0;
  uint64_t observed_at_micros = 0;
  std::optional<uint16_t> propensity_bps;
  uint32_t acted_model_id = 0;
  SelectionStrategy strategy = SelectionStrategy::MaximiseUtility;
  uint32_t revision = 0;
  Disposition disposition = Disposition::Applied;

  // The ranked winner was carried out. Not validated.
  static Outcome applied(const PolicySnapshot& snapshot, const KernelInput& input,
                         const KernelDecision& decision, uint64_t observed_at_micros,
                         const Observation& observation);
  // Nobody acted on the recommendation. Not validated.
  static Outcome abandoned(const PolicySnapshot& snapshot, const KernelInput& input,
                           const KernelDecision& decision, uint64_t observed_at_micros);
  // A candidate other than the ranked winner was carried out; the record
  // is returned only if it passes validate_against.
  static std::expected<Outcome, OutcomeError> chosen_otherwise(
      const PolicySnapshot& snapshot, const KernelInput& input, const KernelDecision& decision,
      uint64_t observed_at_micros, const Observation& observation, uint32_t acted_model_id,
      std::optional<uint16_t> propensity_bps, bool human);

  // The shape checks: propensity against strategy, then observation
  // against disposition. The first failure is returned.
  std::expected<void, OutcomeError> validate() const;
  // The shape checks, then that the record names this decision and that its
  // acted-on model makes sense for it.
  std::expected<void, OutcomeError> validate_against(const PolicySnapshot& snapshot,
                                                     const KernelInput& input,
                                                     const KernelDecision& decision) const;
  // The cheap check for scanning: same decision digest and request sequence.
  bool follows(const KernelDecision& decision) const;

  Digest32 identity_digest() const;
  Digest32 selection_digest() const;
  Digest32 digest() const;  // covers every field of the record
};

}  // namespace morvatel

#endif  // MORVATEL_OUTCOME_H_
