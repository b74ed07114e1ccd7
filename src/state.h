#ifndef MORVATEL_STATE_H_
#define MORVATEL_STATE_H_

// State chains: a caller that keeps state of its own proves which decision
// moved it from one value to the next. Each state value is hashed with its
// step number; a chain advances one step per new value and reports the
// transition (digest before, digest after, step); a stateful audit bundle
// binds one verified decision to one transition; and the trajectory checks
// walk a list of bundles for consecutive steps, linked digests and valid
// replays.
//
// The previous digest is deliberately not an input of the next one: the
// digests are linked only by the equality checks of the walk, so a digest
// depends on nothing but its step and its state value, and a verifier can
// recompute any one of them alone.

#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <string_view>
#include <variant>

#include "crypto.h"
#include "kernel/policy.h"
#include "kernel/records.h"
#include "verify.h"

namespace morvatel {

// SHA-256 over "morvstt1", 0x00, the step (uint64_t, little-endian) and
// the state bytes, which end the message and so carry no length.
Digest32 state_digest(uint64_t step, std::string_view state);

struct StateTransition {
  Digest32 digest_before{};
  Digest32 digest_after{};
  uint64_t step = 0;  // of the new state; 1 or more
};

// Advancing a chain whose step is already the largest uint64_t.
struct StateAdvanceError {
  enum class Kind : uint8_t { StepOverflow };
  Kind kind = Kind::StepOverflow;
  // "StepOverflow", the form the internal-failure message quotes.
  std::string_view debug_string() const { return "StepOverflow"; }
};

class StateChain {
 public:
  // Step 0, holding the digest of step 0 and `initial_state`.
  static StateChain genesis(std::string_view initial_state);

  // A chain resumed at a known point. Callers of the library cannot do
  // this (a verifier that trusts a later point checks a fragment instead);
  // it exists so the last step can be reached in tests.
  static StateChain resume(uint64_t step, const Digest32& last_digest) {
    return StateChain(step, last_digest);
  }

  // Moves on by one step. On failure the chain is unchanged.
  std::expected<StateTransition, StateAdvanceError> advance(std::string_view next_state);

  uint64_t step() const { return step_; }
  const Digest32& last_digest() const { return last_; }

 private:
  StateChain(uint64_t step, const Digest32& last) : last_(last), step_(step) {}
  Digest32 last_;
  uint64_t step_;
};

// One verified decision bound to one transition. Nothing ties the two
// together beyond being placed in one bundle: the caller decides which
// decision caused which transition.
struct StatefulAuditBundle {
  AuditBundle audit;
  uint64_t step = 0;
  std::string state_digest_before_hex;
  std::string state_digest_after_hex;
};

// The bundle for a decision that replays; VerifyError otherwise. The caller
// has checked the request.
std::expected<StatefulAuditBundle, VerifyError> stateful_audit_bundle(
    const PolicySnapshot& snapshot, const KernelInput& input, const KernelDecision& decision,
    const StateTransition& transition);

struct StepGap {
  uint64_t expected;
  uint64_t found;
};
struct LinkBroken {
  uint64_t step;
};
struct BundleReplayInvalid {
  uint64_t step;
};

struct TrajectoryError {
  std::variant<StepGap, LinkBroken, BundleReplayInvalid> kind;
  std::string message() const;
};

using TrajectoryResult = std::expected<void, TrajectoryError>;

// The walk alone: every bundle replay-valid, each step one more than the
// one before, each before-digest equal to the previous after-digest. An
// empty list passes.
TrajectoryResult verify_state_trajectory(std::span<const StatefulAuditBundle> bundles);

// A whole trajectory from a known initial state to a known final step.
// An empty list never passes.
TrajectoryResult verify_complete_state_trajectory(std::string_view initial_state,
                                                  uint64_t expected_final_step,
                                                  std::span<const StatefulAuditBundle> bundles);

// A piece of a trajectory continuing a trusted (step, digest) pair. The
// digest text is compared as it is: text that is not a lowercase digest
// never matches.
TrajectoryResult verify_state_trajectory_fragment(uint64_t anchor_step,
                                                  std::string_view anchor_digest_hex,
                                                  std::span<const StatefulAuditBundle> bundles);

}  // namespace morvatel

#endif  // MORVATEL_STATE_H_
