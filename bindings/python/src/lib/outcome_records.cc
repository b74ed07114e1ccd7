#include "lib/outcome_records.h"

#include <optional>
#include <string_view>
#include <type_traits>
#include <utility>

#include "digest.h"
#include "lib/args.h"
#include "lib/convert.h"
#include "lib/errors.h"
#include "lib/kernel_records.h"
#include "lib/policy_snapshot.h"
#include "lib/types.h"
#include "outcome.h"
#include "text.h"

namespace morvatel::py {

namespace {

struct ObservationObject {
  PyObject_HEAD
  Observation obs;
};

struct OutcomeObject {
  PyObject_HEAD
  Outcome rec;
};

PyTypeObject* g_observation_type = nullptr;
PyTypeObject* g_outcome_type = nullptr;

Observation& obs_of(PyObject* self) { return reinterpret_cast<ObservationObject*>(self)->obs; }
Outcome& rec_of(PyObject* self) { return reinterpret_cast<OutcomeObject*>(self)->rec; }


// A bool argument or attribute: exactly True or False, as an int would
// silently turn 2 into "succeeded".
std::optional<bool> bool_arg(PyObject* o, std::string_view name) {
  if (!PyBool_Check(o)) {
    wrong_type(o, "bool", name);
    return std::nullopt;
  }
  return o == Py_True;
}

// An optional field: None (or not given) is absent; anything else must
// convert. `ok` is false with an exception set on failure.
template <typename T>
std::optional<T> optional_arg(PyObject* o, std::string_view name, bool& ok) {
  ok = true;
  if (o == nullptr || o == Py_None) return std::nullopt;
  std::optional<T> v;
  if constexpr (std::is_same_v<T, bool>) {
    v = bool_arg(o, name);
  } else {
    v = to_int<T>(o, name);
  }
  ok = v.has_value();
  return v;
}

std::optional<Observation> observation_arg(PyObject* o, std::string_view name) {
  PyTypeObject* type = observation_type();
  if (type == nullptr) return std::nullopt;
  if (!is_instance(o, type)) {
    wrong_type(o, "Observation", name);
    return std::nullopt;
  }
  return obs_of(o);
}

PyObject* wrap_observation(const Observation& obs) {
  PyTypeObject* type = observation_type();
  if (type == nullptr) return nullptr;
  return reinterpret_cast<PyObject*>(new_object(type, &ObservationObject::obs, obs));
}

PyObject* wrap_outcome(const Outcome& rec) {
  PyTypeObject* type = outcome_type();
  if (type == nullptr) return nullptr;
  return reinterpret_cast<PyObject*>(new_object(type, &OutcomeObject::rec, rec));
}

std::nullptr_t outcome_error(const OutcomeError& e) { return value_error(e.message()); }

// --- Observation ---

PyObject* new_observation(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* const names[] = {"realized_cost_microunits", "realized_latency_ms",
                                        "succeeded"};
    static const Signature sig{"Observation", names, 3, 0};
    BoundArgs b;
    if (!bind_tuple(sig, args, kwargs, b)) return nullptr;
    Observation obs;
    bool ok;
    obs.realized_cost_microunits = optional_arg<uint64_t>(b[0], names[0], ok);
    if (!ok) return nullptr;
    obs.realized_latency_ms = optional_arg<uint32_t>(b[1], names[1], ok);
    if (!ok) return nullptr;
    obs.succeeded = optional_arg<bool>(b[2], names[2], ok);
    if (!ok) return nullptr;
    return reinterpret_cast<PyObject*>(new_object(type, &ObservationObject::obs, obs));
  });
}

PyObject* get_cost(PyObject* self, void*) {
  return from_optional(obs_of(self).realized_cost_microunits);
}
PyObject* get_latency(PyObject* self, void*) {
  return from_optional(obs_of(self).realized_latency_ms);
}
PyObject* get_succeeded(PyObject* self, void*) { return from_optional(obs_of(self).succeeded); }

// The field is replaced only once the new value has converted.
template <typename T, std::optional<T> Observation::* field>
int set_optional(PyObject* self, PyObject* value, void* closure) {
  return guarded([&]() -> int {
    if (value == nullptr) return refuse_delete();
    bool ok;
    auto v = optional_arg<T>(value, static_cast<const char*>(closure), ok);
    if (!ok) return -1;
    obs_of(self).*field = v;
    return 0;
  });
}

PyObject* observation_is_empty(PyObject* self, PyObject*) {
  return from_bool(obs_of(self).empty());
}

PyObject* observation_repr(PyObject* self) {
  return guarded([&]() -> PyObject* { return from_str(obs_of(self).debug_string()); });
}

PyGetSetDef kObservationGetSet[] = {
    {"realized_cost_microunits", get_cost,
     set_optional<uint64_t, &Observation::realized_cost_microunits>, nullptr,
     const_cast<char*>("realized_cost_microunits")},
    {"realized_latency_ms", get_latency, set_optional<uint32_t, &Observation::realized_latency_ms>,
     nullptr, const_cast<char*>("realized_latency_ms")},
    {"succeeded", get_succeeded, set_optional<bool, &Observation::succeeded>, nullptr,
     const_cast<char*>("succeeded")},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef kObservationMethods[] = {
    {"is_empty", observation_is_empty, METH_NOARGS,
     "is_empty($self)\n--\n\nWhether anything at all was measured."},
    {nullptr, nullptr, 0, nullptr},
};

// --- Outcome: construction ---

// The arguments every constructor starts with, in signature order.
struct Binding : DecisionArgs {
  uint64_t observed_at_micros;
};

std::optional<Binding> bind_common(const BoundArgs& b) {
  auto d = snapshot_decision_args(b.slot);
  if (!d) return std::nullopt;
  auto observed = to_int<uint64_t>(b[3], "observed_at_micros");
  if (!observed) return std::nullopt;
  return Binding{std::move(*d), *observed};
}

PyObject* outcome_applied(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static const char* const names[] = {"snapshot", "input", "decision", "observed_at_micros",
                                        "observation"};
    static const Signature sig{"applied", names, 5, 5};
    BoundArgs b;
    if (!bind_fast(sig, args, nargs, kwnames, b)) return nullptr;
    auto c = bind_common(b);
    if (!c) return nullptr;
    auto obs = observation_arg(b[4], "observation");
    if (!obs) return nullptr;
    return wrap_outcome(
        Outcome::applied(*c->snapshot, c->input, c->decision, c->observed_at_micros, *obs));
  });
}

PyObject* outcome_abandoned(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static const char* const names[] = {"snapshot", "input", "decision", "observed_at_micros"};
    static const Signature sig{"abandoned", names, 4, 4};
    BoundArgs b;
    if (!bind_fast(sig, args, nargs, kwnames, b)) return nullptr;
    auto c = bind_common(b);
    if (!c) return nullptr;
    return wrap_outcome(
        Outcome::abandoned(*c->snapshot, c->input, c->decision, c->observed_at_micros));
  });
}

PyObject* outcome_chosen_otherwise(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static const char* const names[] = {"snapshot",           "input",       "decision",
                                        "observed_at_micros", "observation", "acted_model_id",
                                        "propensity_bps",     "human"};
    static const Signature sig{"chosen_otherwise", names, 8, 6};
    BoundArgs b;
    if (!bind_fast(sig, args, nargs, kwnames, b)) return nullptr;
    auto c = bind_common(b);
    if (!c) return nullptr;
    auto obs = observation_arg(b[4], "observation");
    if (!obs) return nullptr;
    auto acted = to_int<uint32_t>(b[5], "acted_model_id");
    if (!acted) return nullptr;
    bool ok;
    auto propensity = optional_arg<uint16_t>(b[6], "propensity_bps", ok);
    if (!ok) return nullptr;
    bool human = false;
    if (b[7] != nullptr) {
      auto h = bool_arg(b[7], "human");
      if (!h) return nullptr;
      human = *h;
    }
    auto rec = Outcome::chosen_otherwise(*c->snapshot, c->input, c->decision, c->observed_at_micros,
                                         *obs, *acted, propensity, human);
    if (!rec) return outcome_error(rec.error());
    return wrap_outcome(*rec);
  });
}

// --- Outcome: checks ---

PyObject* outcome_validate(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    if (auto ok = rec_of(self).validate(); !ok) return outcome_error(ok.error());
    Py_RETURN_NONE;
  });
}

PyObject* outcome_validate_against(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static const char* const names[] = {"snapshot", "input", "decision"};
    static const Signature sig{"validate_against", names, 3, 3};
    BoundArgs b;
    if (!bind_fast(sig, args, nargs, kwnames, b)) return nullptr;
    auto d = snapshot_decision_args(b.slot);
    if (!d) return nullptr;
    if (auto ok = rec_of(self).validate_against(*d->snapshot, d->input, d->decision); !ok) {
      return outcome_error(ok.error());
    }
    Py_RETURN_NONE;
  });
}

PyObject* outcome_follows(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static const char* const names[] = {"decision"};
    static const Signature sig{"follows", names, 1, 1};
    BoundArgs b;
    if (!bind_fast(sig, args, nargs, kwnames, b)) return nullptr;
    auto decision = decision_arg(b[0], "decision");
    if (!decision) return nullptr;
    return from_bool(rec_of(self).follows(*decision));
  });
}

// --- Outcome: attributes ---

// Hex text of a digest; the std::string is made inside the guard.
PyObject* hex(const Digest32& d) {
  return guarded([&]() -> PyObject* { return from_str(bytes_to_hex(d)); });
}

PyObject* get_policy_digest(PyObject* self, void*) { return hex(rec_of(self).policy_digest); }
PyObject* get_input_digest(PyObject* self, void*) { return hex(rec_of(self).input_digest); }
PyObject* get_decision_digest(PyObject* self, void*) { return hex(rec_of(self).decision_digest); }
PyObject* get_identity_digest(PyObject* self, void*) { return hex(rec_of(self).identity_digest()); }
PyObject* get_selection_digest(PyObject* self, void*) {
  return hex(rec_of(self).selection_digest());
}
PyObject* get_digest(PyObject* self, void*) { return hex(rec_of(self).digest()); }
PyObject* get_request_sequence(PyObject* self, void*) {
  return from_int(rec_of(self).request_sequence);
}
PyObject* get_observed_at(PyObject* self, void*) {
  return from_int(rec_of(self).observed_at_micros);
}
PyObject* get_strategy(PyObject* self, void*) { return from_str(text(rec_of(self).strategy)); }
PyObject* get_acted_model_id(PyObject* self, void*) {
  return from_int(rec_of(self).acted_model_id);
}
PyObject* get_propensity(PyObject* self, void*) {
  return from_optional(rec_of(self).propensity_bps);
}
PyObject* get_revision(PyObject* self, void*) { return from_int(rec_of(self).revision); }
PyObject* get_disposition(PyObject* self, void*) {
  return from_str(text(rec_of(self).disposition));
}
PyObject* get_observation(PyObject* self, void*) {
  return guarded([&]() -> PyObject* { return wrap_observation(rec_of(self).observation); });
}

int set_revision(PyObject* self, PyObject* value, void*) {
  return guarded([&]() -> int {
    if (value == nullptr) return refuse_delete();
    auto v = to_int<uint32_t>(value, "revision");
    if (!v) return -1;
    rec_of(self).revision = *v;
    return 0;
  });
}

int set_disposition(PyObject* self, PyObject* value, void*) {
  return guarded([&]() -> int {
    if (value == nullptr) return refuse_delete();
    auto t = to_str(value, "disposition");
    if (!t) return -1;
    auto d = disposition_from_text(*t);
    if (!d) {
      value_error(str_cat("disposition must be applied, abandoned or in_flight, got ", *t));
      return -1;
    }
    rec_of(self).disposition = *d;
    return 0;
  });
}

int set_observation(PyObject* self, PyObject* value, void*) {
  return guarded([&]() -> int {
    if (value == nullptr) return refuse_delete();
    auto obs = observation_arg(value, "observation");
    if (!obs) return -1;
    rec_of(self).observation = *obs;
    return 0;
  });
}

PyObject* outcome_repr(PyObject* self) {
  return guarded([&]() -> PyObject* {
    const Outcome& r = rec_of(self);
    return from_str(str_cat("Outcome(seq=", r.request_sequence, ", ", text(r.disposition),
                            ", acted=", r.acted_model_id, ", strategy=", text(r.strategy),
                            ", revision=", r.revision, ")"));
  });
}

PyGetSetDef kOutcomeGetSet[] = {
    {"policy_digest", get_policy_digest, nullptr,
     "The policy and catalog in force when the decision was made, as hex.", nullptr},
    {"input_digest", get_input_digest, nullptr, "The request as it was asked, as hex.", nullptr},
    {"decision_digest", get_decision_digest, nullptr, "The decision as it was made, as hex.",
     nullptr},
    {"identity_digest", get_identity_digest, nullptr,
     "What ties this record to its decision, as one digest.", nullptr},
    {"selection_digest", get_selection_digest, nullptr,
     "How the acted-on candidate was chosen, as one digest.", nullptr},
    {"digest", get_digest, nullptr, "Canonical digest of the whole record, as hex.", nullptr},
    {"request_sequence", get_request_sequence, nullptr, nullptr, nullptr},
    {"observed_at_micros", get_observed_at, nullptr, nullptr, nullptr},
    {"strategy", get_strategy, nullptr, "`maximise_utility`, `explore` or `human`.", nullptr},
    {"acted_model_id", get_acted_model_id, nullptr, nullptr, nullptr},
    {"propensity_bps", get_propensity, nullptr,
     "`None` for a human choice, where no probability exists to record.", nullptr},
    {"revision", get_revision, set_revision, nullptr, nullptr},
    {"disposition", get_disposition, set_disposition, "`applied`, `abandoned` or `in_flight`.",
     nullptr},
    {"observation", get_observation, set_observation, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr int kStatic = METH_FASTCALL | METH_KEYWORDS | METH_STATIC;

PyMethodDef kOutcomeMethods[] = {
    {"applied", fastcall(outcome_applied), kStatic,
     "applied(snapshot, input, decision, observed_at_micros, observation)\n--\n\n"
     "The ordinary case: the kernel ranked, the caller followed, work completed."},
    {"abandoned", fastcall(outcome_abandoned), kStatic,
     "abandoned(snapshot, input, decision, observed_at_micros)\n--\n\n"
     "A record for a recommendation nobody acted on."},
    {"chosen_otherwise", fastcall(outcome_chosen_otherwise), kStatic,
     "chosen_otherwise(snapshot, input, decision, observed_at_micros, observation, "
     "acted_model_id, propensity_bps=None, human=False)\n--\n\n"
     "A record for a candidate other than the ranked winner."},
    {"validate", outcome_validate, METH_NOARGS, "validate($self)\n--\n\n"},
    {"validate_against", fastcall(outcome_validate_against), kFast,
     "validate_against($self, snapshot, input, decision)\n--\n\n"},
    {"follows", fastcall(outcome_follows), kFast,
     "follows($self, decision)\n--\n\nThe cheap check: does this record name the same decision?"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyTypeObject* observation_type() {
  if (g_observation_type != nullptr) return g_observation_type;
  ClassSpec spec{"morvatel._core.Observation",
                 "Observation(realized_cost_microunits=None, realized_latency_ms=None, "
                 "succeeded=None)\n--\n\n"
                 "What was measured after a decision was acted on.\n"
                 "\n"
                 "Every field is optional because a pipeline learns them at different times, and\n"
                 "an absent measurement must never be readable as a zero.",
                 static_cast<int>(sizeof(ObservationObject)),
                 true,
                 {
                     {Py_tp_new, reinterpret_cast<void*>(new_observation)},
                     {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_object<ObservationObject>)},
                     {Py_tp_repr, reinterpret_cast<void*>(observation_repr)},
                     {Py_tp_getset, kObservationGetSet},
                     {Py_tp_methods, kObservationMethods},
                 }};
  return cached_class(g_observation_type, spec);
}

PyTypeObject* outcome_type() {
  if (g_outcome_type != nullptr) return g_outcome_type;
  ClassSpec spec{"morvatel._core.Outcome",
                 "One decision, what was done about it, and what came back.\n"
                 "\n"
                 "The `strategy` and `propensity_bps` fields are the ones a later learner cannot\n"
                 "do without: only the taken action has an observed outcome, and estimating the\n"
                 "others is honest only when the probability of each choice was recorded at the\n"
                 "time. `validate()` refuses the shapes that would quietly poison that analysis.",
                 static_cast<int>(sizeof(OutcomeObject)),
                 false,
                 {
                     {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_object<OutcomeObject>)},
                     {Py_tp_repr, reinterpret_cast<void*>(outcome_repr)},
                     {Py_tp_getset, kOutcomeGetSet},
                     {Py_tp_methods, kOutcomeMethods},
                 }};
  return cached_class(g_outcome_type, spec);
}

}  // namespace morvatel::py
