#include "production/state_classes.h"

#include <vector>

#include "digest.h"
#include "json/value.h"
#include "lib/args.h"
#include "lib/convert.h"
#include "lib/errors.h"
#include "lib/kernel_records.h"
#include "lib/policy_snapshot.h"
#include "lib/sequence.h"
#include "lib/types.h"
#include "production/artifacts.h"
#include "production/exceptions.h"
#include "production/json_errors.h"
#include "production/trajectory_errors.h"
#include "text.h"

namespace morvatel::py {

namespace {


// --- StateTransition ---

struct TransitionObject {
  PyObject_HEAD
  StateTransition t;
};

PyTypeObject* g_transition_type = nullptr;

const StateTransition& transition_of(PyObject* self) {
  return reinterpret_cast<TransitionObject*>(self)->t;
}

PyObject* wrap_transition(const StateTransition& t) {
  PyTypeObject* type = state_transition_type();
  if (type == nullptr) return nullptr;
  return reinterpret_cast<PyObject*>(new_object(type, &TransitionObject::t, t));
}

void dealloc_plain(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_Free(self);
  Py_DECREF(type);
}

PyObject* transition_step(PyObject* self, void*) { return from_int(transition_of(self).step); }
PyObject* transition_before(PyObject* self, void*) {
  return guarded([&] { return from_str(bytes_to_hex(transition_of(self).digest_before)); });
}
PyObject* transition_after(PyObject* self, void*) {
  return guarded([&] { return from_str(bytes_to_hex(transition_of(self).digest_after)); });
}

PyObject* transition_as_dict(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    const StateTransition& t = transition_of(self);
    Ref dict = Ref::steal(PyDict_New());
    if (!dict) return nullptr;
    bool ok = dict_put(dict.get(), "step", from_int(t.step)) &&
              dict_put(dict.get(), "digest_before_hex", from_str(bytes_to_hex(t.digest_before))) &&
              dict_put(dict.get(), "digest_after_hex", from_str(bytes_to_hex(t.digest_after)));
    return ok ? dict.release() : nullptr;
  });
}

PyObject* transition_repr(PyObject* self) {
  return guarded([&] {
    const StateTransition& t = transition_of(self);
    return from_str(str_cat("StateTransition(step=", t.step, ", before='",
                            preview(bytes_to_hex(t.digest_before)), "...', after='",
                            preview(bytes_to_hex(t.digest_after)), "...')"));
  });
}

PyGetSetDef kTransitionGetSet[] = {
    {"step", transition_step, nullptr, nullptr, nullptr},
    {"digest_before_hex", transition_before, nullptr, nullptr, nullptr},
    {"digest_after_hex", transition_after, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef kTransitionMethods[] = {
    {"as_dict", transition_as_dict, METH_NOARGS, "as_dict($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

// --- StatefulAuditBundle ---

struct BundleObject {
  PyObject_HEAD
  StatefulAuditBundle b;
};

PyTypeObject* g_bundle_type = nullptr;

const StatefulAuditBundle& bundle_of(PyObject* self) {
  return reinterpret_cast<BundleObject*>(self)->b;
}

PyObject* wrap_bundle(StatefulAuditBundle b) {
  PyTypeObject* type = stateful_audit_bundle_type();
  if (type == nullptr) return nullptr;
  return reinterpret_cast<PyObject*>(new_object(type, &BundleObject::b, std::move(b)));
}

PyObject* bundle_step(PyObject* self, void*) { return from_int(bundle_of(self).step); }
PyObject* bundle_before(PyObject* self, void*) {
  return from_str(bundle_of(self).state_digest_before_hex);
}
PyObject* bundle_after(PyObject* self, void*) {
  return from_str(bundle_of(self).state_digest_after_hex);
}
PyObject* bundle_replay_valid(PyObject* self, void*) {
  return from_bool(bundle_of(self).audit.replay_valid);
}

PyObject* bundle_as_dict(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    const StatefulAuditBundle& b = bundle_of(self);
    json::Object audit;
    for_each_field(b.audit, [&](const char* name, const auto& value) {
      using T = std::remove_cvref_t<decltype(value)>;
      if constexpr (std::is_same_v<T, std::string> || std::is_same_v<T, bool>) {
        audit.set(name, json::Value(value));
      } else {
        audit.set(name, json::Value(static_cast<uint64_t>(value)));
      }
    });
    json::Object out;
    out.set("audit", json::Value(std::move(audit)));
    out.set("step", json::Value(b.step));
    out.set("state_digest_before_hex", json::Value(b.state_digest_before_hex));
    out.set("state_digest_after_hex", json::Value(b.state_digest_after_hex));
    return json_value_to_dict(json::Value(std::move(out)));
  });
}

PyObject* bundle_repr(PyObject* self) {
  return guarded([&] {
    const StatefulAuditBundle& b = bundle_of(self);
    return from_str(str_cat("StatefulAuditBundle(step=", b.step,
                            ", replay_valid=", b.audit.replay_valid ? "true" : "false", ")"));
  });
}

PyGetSetDef kBundleGetSet[] = {
    {"step", bundle_step, nullptr, nullptr, nullptr},
    {"state_digest_before_hex", bundle_before, nullptr, nullptr, nullptr},
    {"state_digest_after_hex", bundle_after, nullptr, nullptr, nullptr},
    {"replay_valid", bundle_replay_valid, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef kBundleMethods[] = {
    {"as_dict", bundle_as_dict, METH_NOARGS, "as_dict($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

// A copy of every bundle of a list argument, made before any check so the
// caller's objects are only read.
std::optional<std::vector<StatefulAuditBundle>> bundles_arg(PyObject* o) {
  PyTypeObject* type = stateful_audit_bundle_type();
  if (type == nullptr) return std::nullopt;
  return sequence_arg<StatefulAuditBundle>(
      o, "bundles", [&](PyObject* item) -> std::optional<StatefulAuditBundle> {
        if (!is_instance(item, type)) {
          wrong_type(item, "StatefulAuditBundle", "bundles");
          return std::nullopt;
        }
        return bundle_of(item);
      });
}

// --- StateChain ---

struct ChainObject {
  PyObject_HEAD
  StateChain chain;
};

PyTypeObject* g_chain_type = nullptr;

StateChain& chain_of(PyObject* self) { return reinterpret_cast<ChainObject*>(self)->chain; }

PyObject* new_chain_object(PyTypeObject* type, std::string_view initial_state) {
  return reinterpret_cast<PyObject*>(
      new_object(type, &ChainObject::chain, StateChain::genesis(initial_state)));
}

PyObject* chain_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* const names[] = {"initial_state"};
    BoundArgs b;
    if (!bind_tuple(Signature{"StateChain", names, 1, 1}, args, kwargs, b)) return nullptr;
    auto state = to_bytes(b[0], "initial_state");
    if (!state) return nullptr;
    return new_chain_object(type, *state);
  });
}

PyObject* chain_genesis(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static const char* const names[] = {"initial_state"};
    BoundArgs b;
    if (!bind_fast(Signature{"genesis", names, 1, 1}, args, nargs, kwnames, b)) return nullptr;
    auto state = to_bytes(b[0], "initial_state");
    if (!state) return nullptr;
    PyTypeObject* type = state_chain_type();
    if (type == nullptr) return nullptr;
    return new_chain_object(type, *state);
  });
}

PyObject* chain_advance(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static const char* const names[] = {"next_state"};
    BoundArgs b;
    if (!bind_fast(Signature{"advance", names, 1, 1}, args, nargs, kwnames, b)) return nullptr;
    auto state = to_bytes(b[0], "next_state");
    if (!state) return nullptr;
    // The transition object is made before the chain moves, so a failed
    // allocation leaves the chain where it was.
    StateChain next = chain_of(self);
    auto t = next.advance(*state);
    if (!t) {
      return raise_panic(
          str_cat("state trajectory step counter exhausted: ", t.error().debug_string()));
    }
    PyObject* result = wrap_transition(*t);
    if (result == nullptr) return nullptr;
    chain_of(self) = next;
    return result;
  });
}

PyObject* chain_step(PyObject* self, void*) { return from_int(chain_of(self).step()); }
PyObject* chain_last_digest(PyObject* self, void*) {
  return guarded([&] { return from_str(bytes_to_hex(chain_of(self).last_digest())); });
}

PyObject* chain_repr(PyObject* self) {
  return guarded([&] {
    const StateChain& c = chain_of(self);
    return from_str(str_cat("StateChain(step=", c.step(), ", last_digest='",
                            preview(bytes_to_hex(c.last_digest())), "...')"));
  });
}

PyGetSetDef kChainGetSet[] = {
    {"step", chain_step, nullptr, nullptr, nullptr},
    {"last_digest_hex", chain_last_digest, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef kChainMethods[] = {
    {"genesis", fastcall(chain_genesis), kFast | METH_STATIC, "genesis(initial_state)\n--\n\n"},
    {"advance", fastcall(chain_advance), kFast, "advance($self, next_state)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

// --- module functions ---

PyObject* fn_verify_state_trajectory(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                     PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static const char* const names[] = {"bundles"};
    BoundArgs b;
    if (!bind_fast(Signature{"verify_state_trajectory", names, 1, 1}, args, nargs, kwnames, b)) {
      return nullptr;
    }
    auto bundles = bundles_arg(b[0]);
    if (!bundles) return nullptr;
    if (auto r = verify_state_trajectory(*bundles); !r) return trajectory_error(r.error());
    Py_RETURN_NONE;
  });
}

PyObject* fn_verify_complete_state_trajectory(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                              PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static const char* const names[] = {"initial_state_bytes", "expected_final_step", "bundles"};
    BoundArgs b;
    if (!bind_fast(Signature{"verify_complete_state_trajectory", names, 3, 3}, args, nargs, kwnames,
                   b)) {
      return nullptr;
    }
    auto initial = to_bytes(b[0], "initial_state_bytes");
    if (!initial) return nullptr;
    auto final_step = to_int<uint64_t>(b[1], "expected_final_step");
    if (!final_step) return nullptr;
    auto bundles = bundles_arg(b[2]);
    if (!bundles) return nullptr;
    if (auto r = verify_complete_state_trajectory(*initial, *final_step, *bundles); !r) {
      return trajectory_error(r.error());
    }
    Py_RETURN_NONE;
  });
}

PyObject* fn_verify_state_trajectory_fragment(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                              PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static const char* const names[] = {"anchor_step", "anchor_digest_hex", "bundles"};
    BoundArgs b;
    if (!bind_fast(Signature{"verify_state_trajectory_fragment", names, 3, 3}, args, nargs, kwnames,
                   b)) {
      return nullptr;
    }
    auto anchor_step = to_int<uint64_t>(b[0], "anchor_step");
    if (!anchor_step) return nullptr;
    auto anchor_hex = to_str(b[1], "anchor_digest_hex");
    if (!anchor_hex) return nullptr;
    auto bundles = bundles_arg(b[2]);
    if (!bundles) return nullptr;
    if (auto r = verify_state_trajectory_fragment(*anchor_step, *anchor_hex, *bundles); !r) {
      return trajectory_error(r.error());
    }
    Py_RETURN_NONE;
  });
}

PyMethodDef kVerifyStateTrajectory = {"verify_state_trajectory",
                                      fastcall(fn_verify_state_trajectory), kFast,
                                      "verify_state_trajectory(bundles)\n--\n\n"};
PyMethodDef kVerifyCompleteStateTrajectory = {
    "verify_complete_state_trajectory", fastcall(fn_verify_complete_state_trajectory), kFast,
    "verify_complete_state_trajectory(initial_state_bytes, expected_final_step, bundles)\n--\n\n"};
PyMethodDef kVerifyStateTrajectoryFragment = {
    "verify_state_trajectory_fragment", fastcall(fn_verify_state_trajectory_fragment), kFast,
    "verify_state_trajectory_fragment(anchor_step, anchor_digest_hex, bundles)\n--\n\n"};

PyObject* new_function(PyMethodDef* def, PyObject* module) {
  Ref name = Ref::steal(PyModule_GetNameObject(module));
  if (!name) return nullptr;
  return PyCFunction_NewEx(def, module, name.get());
}

}  // namespace

PyTypeObject* state_transition_type() {
  if (g_transition_type != nullptr) return g_transition_type;
  ClassSpec spec{"morvatel._core.StateTransition",
                 nullptr,
                 static_cast<int>(sizeof(TransitionObject)),
                 false,
                 {
                     {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_plain)},
                     {Py_tp_repr, reinterpret_cast<void*>(transition_repr)},
                     {Py_tp_getset, kTransitionGetSet},
                     {Py_tp_methods, kTransitionMethods},
                 }};
  return cached_class(g_transition_type, spec);
}

PyTypeObject* stateful_audit_bundle_type() {
  if (g_bundle_type != nullptr) return g_bundle_type;
  ClassSpec spec{"morvatel._core.StatefulAuditBundle",
                 nullptr,
                 static_cast<int>(sizeof(BundleObject)),
                 false,
                 {
                     {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_object<BundleObject>)},
                     {Py_tp_repr, reinterpret_cast<void*>(bundle_repr)},
                     {Py_tp_getset, kBundleGetSet},
                     {Py_tp_methods, kBundleMethods},
                 }};
  return cached_class(g_bundle_type, spec);
}

PyTypeObject* state_chain_type() {
  if (g_chain_type != nullptr) return g_chain_type;
  ClassSpec spec{"morvatel._core.StateChain",
                 "StateChain(initial_state)\n--\n\n",
                 static_cast<int>(sizeof(ChainObject)),
                 true,
                 {
                     {Py_tp_new, reinterpret_cast<void*>(chain_new)},
                     {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_object<ChainObject>)},
                     {Py_tp_repr, reinterpret_cast<void*>(chain_repr)},
                     {Py_tp_getset, kChainGetSet},
                     {Py_tp_methods, kChainMethods},
                 }};
  return cached_class(g_chain_type, spec);
}

std::optional<StateTransition> transition_arg(PyObject* o, std::string_view name) {
  PyTypeObject* type = state_transition_type();
  if (type == nullptr) return std::nullopt;
  if (!is_instance(o, type)) {
    wrong_type(o, "StateTransition", name);
    return std::nullopt;
  }
  return transition_of(o);
}

PyObject* snapshot_stateful_audit_bundle(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                         PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static const char* const names[] = {"input", "decision", "transition"};
    BoundArgs b;
    if (!bind_fast(Signature{"stateful_audit_bundle", names, 3, 3}, args, nargs, kwnames, b)) {
      return nullptr;
    }
    auto d = decision_args(b.slot);
    if (!d) return nullptr;
    auto transition = transition_arg(b[2], "transition");
    if (!transition) return nullptr;
    if (auto ok = validate_input(d->input); !ok) return value_error(ok.error().message());
    auto bundle = stateful_audit_bundle(snapshot_of(self), d->input, d->decision, *transition);
    if (!bundle) {
      return raise_error(ErrorClass::DecisionVerification,
                         str_cat("decision verification failed: ",
                                 bundle.error().result.debug_string()));
    }
    return wrap_bundle(std::move(*bundle));
  });
}

PyObject* new_verify_state_trajectory(PyObject* module) {
  return new_function(&kVerifyStateTrajectory, module);
}
PyObject* new_verify_complete_state_trajectory(PyObject* module) {
  return new_function(&kVerifyCompleteStateTrajectory, module);
}
PyObject* new_verify_state_trajectory_fragment(PyObject* module) {
  return new_function(&kVerifyStateTrajectoryFragment, module);
}

}  // namespace morvatel::py
