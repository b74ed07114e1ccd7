#include "outcome.h"

#include <algorithm>
#include <type_traits>

#include "digest.h"
#include "text.h"

namespace morvatel {

namespace {

template <typename T>
void append_debug(std::string& out, const std::optional<T>& v) {
  if (!v) {
    out.append("None");
    return;
  }
  out.append("Some(");
  if constexpr (std::is_same_v<T, bool>) {
    out.append(*v ? "true" : "false");
  } else {
    str_append(out, *v);
  }
  out.push_back(')');
}

// The 9-byte domain tag: eight letters and a zero byte.
void tag(Sha256& h, const char (&name)[9]) { h.update(name, 9); }

template <typename T>
void optional_le(Sha256& h, const std::optional<T>& v) {
  h.update_le<uint8_t>(v ? 1 : 0);
  if (!v) return;
  if constexpr (std::is_same_v<T, bool>) {
    h.update_le<uint8_t>(*v ? 1 : 0);
  } else {
    h.update_le<T>(*v);
  }
}

std::unexpected<OutcomeError> fail(OutcomeErrorKind kind, uint32_t value = 0) {
  return std::unexpected(OutcomeError{.kind = kind, .value = value});
}

Outcome bound_to(const PolicySnapshot& snapshot, const KernelInput& input,
                 const KernelDecision& decision, uint64_t observed_at_micros) {
  Outcome o;
  o.policy_digest = policy_digest(snapshot);
  o.input_digest = input_digest(input);
  o.decision_digest = decision_digest(decision);
  o.request_sequence = decision.request_sequence;
  o.observed_at_micros = observed_at_micros;
  o.revision = 0;
  return o;
}

}  // namespace

std::string Observation::debug_string() const {
  std::string out = "Observation(cost=";
  append_debug(out, realized_cost_microunits);
  out.append(", latency_ms=");
  append_debug(out, realized_latency_ms);
  out.append(", succeeded=");
  append_debug(out, succeeded);
  out.push_back(')');
  return out;
}

std::string_view text(SelectionStrategy s) {
  switch (s) {
    case SelectionStrategy::MaximiseUtility: return "maximise_utility";
    case SelectionStrategy::Explore: return "explore";
    case SelectionStrategy::Human: return "human";
  }
  return "";
}

std::string_view debug_name(SelectionStrategy s) {
  switch (s) {
    case SelectionStrategy::MaximiseUtility: return "MaximiseUtility";
    case SelectionStrategy::Explore: return "Explore";
    case SelectionStrategy::Human: return "Human";
  }
  return "";
}

std::string_view text(Disposition d) {
  switch (d) {
    case Disposition::Applied: return "applied";
    case Disposition::Abandoned: return "abandoned";
    case Disposition::InFlight: return "in_flight";
  }
  return "";
}

std::optional<Disposition> disposition_from_text(std::string_view t) {
  for (Disposition d : {Disposition::Applied, Disposition::Abandoned, Disposition::InFlight}) {
    if (text(d) == t) return d;
  }
  return std::nullopt;
}

std::string_view text(IdentityField f) {
  switch (f) {
    case IdentityField::Policy: return "policy";
    case IdentityField::Input: return "input";
    case IdentityField::Decision: return "decision";
    case IdentityField::RequestSequence: return "request sequence";
  }
  return "";
}

std::string OutcomeError::message() const {
  switch (kind) {
    case OutcomeErrorKind::PropensityOutOfRange:
      return str_cat("propensity must be 1..=", kFullProbabilityBps, " basis points, got ", value);
    case OutcomeErrorKind::DeterministicPropensity:
      return str_cat("MaximiseUtility is deterministic and must record ", kFullProbabilityBps,
                     ", got ", value);
    case OutcomeErrorKind::MissingPropensity:
      return str_cat(debug_name(strategy),
                     " must record a propensity, and it cannot be recovered afterwards");
    case OutcomeErrorKind::HumanPropensity:
      return "Human selection has no propensity to record; leave it absent";
    case OutcomeErrorKind::EmptyObservation:
      return "an outcome must carry at least one observation or a disposition that explains its "
             "absence";
    case OutcomeErrorKind::AbandonedObserved:
      return "Abandoned means nothing was carried out, so nothing can have been observed";
    case OutcomeErrorKind::InFlightResolved:
      return "InFlight cannot record success or failure; revise the record when it finishes";
    case OutcomeErrorKind::RejectionActedOn:
      return "the decision was a rejection, so there was nothing to carry out";
    case OutcomeErrorKind::WinnerMismatch:
      return str_cat("MaximiseUtility acted on model ", value, ", but the decision selected ",
                     selected);
    case OutcomeErrorKind::UnknownModel:
      return str_cat("model ", value, " is not in this policy's catalog");
    case OutcomeErrorKind::IdentityMismatch:
      return str_cat("this outcome does not follow that decision: the ", text(field), " differs");
  }
  return "";
}

Digest32 outcome_identity_digest(const Digest32& policy, const Digest32& input,
                                 const Digest32& decision, uint64_t request_sequence) {
  Sha256 h;
  tag(h, "morvidn1");
  h.update(policy);
  h.update(input);
  h.update(decision);
  h.update_le(request_sequence);
  return h.finish();
}

Digest32 outcome_selection_digest(SelectionStrategy strategy, uint32_t acted_model_id,
                                  std::optional<uint16_t> propensity_bps) {
  Sha256 h;
  tag(h, "morvsel1");
  h.update_le(code(strategy));
  h.update_le(acted_model_id);
  optional_le(h, propensity_bps);
  return h.finish();
}

Digest32 outcome_record_digest(const Digest32& identity, uint64_t observed_at_micros,
                               uint32_t revision, const Digest32& selection,
                               Disposition disposition, const Observation& observation) {
  Sha256 h;
  tag(h, "morvout1");
  h.update(identity);
  h.update_le(observed_at_micros);
  h.update_le(revision);
  h.update(selection);
  h.update_le(code(disposition));
  optional_le(h, observation.realized_cost_microunits);
  optional_le(h, observation.realized_latency_ms);
  optional_le(h, observation.succeeded);
  return h.finish();
}

Outcome Outcome::applied(const PolicySnapshot& snapshot, const KernelInput& input,
                         const KernelDecision& decision, uint64_t observed_at_micros,
                         const Observation& observation) {
  Outcome o = bound_to(snapshot, input, decision, observed_at_micros);
  o.strategy = SelectionStrategy::MaximiseUtility;
  o.propensity_bps = kFullProbabilityBps;
  o.acted_model_id = decision.selected_model_id;
  o.disposition = Disposition::Applied;
  o.observation = observation;
  return o;
}

Outcome Outcome::abandoned(const PolicySnapshot& snapshot, const KernelInput& input,
                           const KernelDecision& decision, uint64_t observed_at_micros) {
  Outcome o = bound_to(snapshot, input, decision, observed_at_micros);
  o.strategy = SelectionStrategy::MaximiseUtility;
  o.propensity_bps = kFullProbabilityBps;
  o.acted_model_id = decision.selected_model_id;
  o.disposition = Disposition::Abandoned;
  return o;
}

std::expected<Outcome, OutcomeError> Outcome::chosen_otherwise(
    const PolicySnapshot& snapshot, const KernelInput& input, const KernelDecision& decision,
    uint64_t observed_at_micros, const Observation& observation, uint32_t acted_model_id,
    std::optional<uint16_t> propensity_bps, bool human) {
  Outcome o = bound_to(snapshot, input, decision, observed_at_micros);
  o.strategy = human ? SelectionStrategy::Human : SelectionStrategy::Explore;
  o.propensity_bps = propensity_bps;
  o.acted_model_id = acted_model_id;
  o.disposition = Disposition::Applied;
  o.observation = observation;
  if (auto ok = o.validate_against(snapshot, input, decision); !ok) {
    return std::unexpected(ok.error());
  }
  return o;
}

std::expected<void, OutcomeError> Outcome::validate() const {
  using K = OutcomeErrorKind;
  if (strategy == SelectionStrategy::Human) {
    if (propensity_bps) return fail(K::HumanPropensity);
  } else {
    if (!propensity_bps) {
      return std::unexpected(OutcomeError{.kind = K::MissingPropensity, .strategy = strategy});
    }
    uint16_t p = *propensity_bps;
    if (p == 0 || p > kFullProbabilityBps) return fail(K::PropensityOutOfRange, p);
    if (strategy == SelectionStrategy::MaximiseUtility && p != kFullProbabilityBps) {
      return fail(K::DeterministicPropensity, p);
    }
  }
  switch (disposition) {
    case Disposition::Applied:
      if (observation.empty()) return fail(K::EmptyObservation);
      break;
    case Disposition::Abandoned:
      if (!observation.empty()) return fail(K::AbandonedObserved);
      break;
    case Disposition::InFlight:
      if (observation.succeeded) return fail(K::InFlightResolved);
      break;
  }
  return {};
}

std::expected<void, OutcomeError> Outcome::validate_against(const PolicySnapshot& snapshot,
                                                            const KernelInput& input,
                                                            const KernelDecision& decision) const {
  using K = OutcomeErrorKind;
  if (auto ok = validate(); !ok) return ok;
  auto mismatch = [](IdentityField f) {
    return std::unexpected(OutcomeError{.kind = K::IdentityMismatch, .field = f});
  };
  if (morvatel::policy_digest(snapshot) != policy_digest) return mismatch(IdentityField::Policy);
  if (morvatel::input_digest(input) != input_digest) return mismatch(IdentityField::Input);
  if (morvatel::decision_digest(decision) != decision_digest) {
    return mismatch(IdentityField::Decision);
  }
  if (decision.request_sequence != request_sequence) {
    return mismatch(IdentityField::RequestSequence);
  }
  if (decision.action == KernelAction::Reject && disposition != Disposition::Abandoned) {
    return fail(K::RejectionActedOn);
  }
  if (strategy == SelectionStrategy::MaximiseUtility &&
      acted_model_id != decision.selected_model_id) {
    return std::unexpected(OutcomeError{.kind = K::WinnerMismatch,
                                        .value = acted_model_id,
                                        .selected = decision.selected_model_id});
  }
  if (decision.action != KernelAction::Reject) {
    auto models = snapshot.models();
    // Membership only: a disabled model of the catalogue may still be the
    // one a person chose to run.
    bool known = std::any_of(models.begin(), models.end(),
                             [&](const KernelModel& m) { return m.model_id == acted_model_id; });
    if (!known) return fail(K::UnknownModel, acted_model_id);
  }
  return {};
}

bool Outcome::follows(const KernelDecision& decision) const {
  return morvatel::decision_digest(decision) == decision_digest &&
         decision.request_sequence == request_sequence;
}

Digest32 Outcome::identity_digest() const {
  return outcome_identity_digest(policy_digest, input_digest, decision_digest, request_sequence);
}

Digest32 Outcome::selection_digest() const {
  return outcome_selection_digest(strategy, acted_model_id, propensity_bps);
}

Digest32 Outcome::digest() const {
  return outcome_record_digest(identity_digest(), observed_at_micros, revision, selection_digest(),
                               disposition, observation);
}

}  // namespace morvatel
