#include "state.h"

#include <limits>

#include "digest.h"
#include "text.h"

namespace morvatel {

namespace {

constexpr uint64_t kLastStep = std::numeric_limits<uint64_t>::max();

std::unexpected<TrajectoryError> fail(auto kind) { return std::unexpected(TrajectoryError{kind}); }

// Checks each bundle against the one before it, in list order.
TrajectoryResult walk(std::span<const StatefulAuditBundle> bundles) {
  const StatefulAuditBundle* earlier = nullptr;
  for (const StatefulAuditBundle& b : bundles) {
    if (!b.audit.replay_valid) return fail(BundleReplayInvalid{b.step});
    if (earlier != nullptr) {
      // There is no step after the last one: a bundle that claims to
      // follow it is a gap, whatever its step (no wrap to 0).
      if (earlier->step == kLastStep) return fail(StepGap{kLastStep, b.step});
      const uint64_t expected = earlier->step + 1;
      if (b.step != expected) return fail(StepGap{expected, b.step});
      if (b.state_digest_before_hex != earlier->state_digest_after_hex) {
        return fail(LinkBroken{b.step});
      }
    }
    earlier = &b;
  }
  return {};
}

}  // namespace

Digest32 state_digest(uint64_t step, std::string_view state) {
  Sha256 h;
  h.update(std::string_view("morvstt1\0", 9));
  h.update_le(step);
  h.update(state);
  return h.finish();
}

StateChain StateChain::genesis(std::string_view initial_state) {
  return StateChain(0, state_digest(0, initial_state));
}

std::expected<StateTransition, StateAdvanceError> StateChain::advance(std::string_view next_state) {
  if (step_ == kLastStep) return std::unexpected(StateAdvanceError{});
  StateTransition t;
  t.step = step_ + 1;
  t.digest_before = last_;
  t.digest_after = state_digest(t.step, next_state);
  last_ = t.digest_after;
  step_ = t.step;
  return t;
}

std::expected<StatefulAuditBundle, VerifyError> stateful_audit_bundle(
    const PolicySnapshot& snapshot, const KernelInput& input, const KernelDecision& decision,
    const StateTransition& transition) {
  auto audit = verified_audit_bundle(snapshot, input, decision);
  if (!audit) return std::unexpected(std::move(audit.error()));
  return StatefulAuditBundle{std::move(*audit), transition.step,
                             bytes_to_hex(transition.digest_before),
                             bytes_to_hex(transition.digest_after)};
}

std::string TrajectoryError::message() const {
  if (const auto* g = std::get_if<StepGap>(&kind)) {
    return str_cat("step ", g->found, " does not continue from step ", g->expected);
  }
  if (const auto* l = std::get_if<LinkBroken>(&kind)) {
    return str_cat("state chain broken at step ", l->step,
                   ": before-digest does not match previous after-digest");
  }
  return str_cat("bundle at step ", std::get<BundleReplayInvalid>(kind).step,
                 " carries replay_valid=false");
}

TrajectoryResult verify_state_trajectory(std::span<const StatefulAuditBundle> bundles) {
  return walk(bundles);
}

TrajectoryResult verify_complete_state_trajectory(std::string_view initial_state,
                                                  uint64_t expected_final_step,
                                                  std::span<const StatefulAuditBundle> bundles) {
  const std::string genesis = bytes_to_hex(state_digest(0, initial_state));
  if (bundles.empty()) return fail(StepGap{1, 0});
  const StatefulAuditBundle& first = bundles.front();
  if (first.step != 1) return fail(StepGap{1, first.step});
  if (first.state_digest_before_hex != genesis) return fail(LinkBroken{1});
  if (auto r = walk(bundles); !r) return r;
  const uint64_t last = bundles.back().step;
  if (last != expected_final_step) return fail(StepGap{expected_final_step, last});
  return {};
}

TrajectoryResult verify_state_trajectory_fragment(uint64_t anchor_step,
                                                  std::string_view anchor_digest_hex,
                                                  std::span<const StatefulAuditBundle> bundles) {
  if (bundles.empty()) {
    const uint64_t next = anchor_step == kLastStep ? kLastStep : anchor_step + 1;
    return fail(StepGap{next, anchor_step});
  }
  const StatefulAuditBundle& first = bundles.front();
  if (anchor_step == kLastStep) return fail(StepGap{kLastStep, first.step});
  const uint64_t next = anchor_step + 1;
  if (first.step != next) return fail(StepGap{next, first.step});
  if (first.state_digest_before_hex != anchor_digest_hex) return fail(LinkBroken{next});
  return walk(bundles);
}

}  // namespace morvatel
