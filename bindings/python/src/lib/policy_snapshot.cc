#include "lib/policy_snapshot.h"

#include <array>
#include <vector>

#include "counterfactual.h"
#include "digest.h"
#include "kernel/explain.h"
#include "kernel/prescribe.h"
#include "lib/args.h"
#include "lib/candidate_explanation.h"
#include "lib/convert.h"
#include "lib/dict_keys.h"
#include "lib/errors.h"
#include "lib/gil.h"
#include "lib/kernel_records.h"
#include "lib/policy_verify.h"
#include "lib/sequence.h"
#include "lib/types.h"
#include "production/decision_receipt.h"
#include "production/signed_policy.h"
#include "production/state_classes.h"
#include "text.h"

namespace morvatel::py {

namespace {

struct SnapshotObject {
  PyObject_HEAD
  PolicySnapshot snapshot;
};

PyTypeObject* g_type = nullptr;

const PolicySnapshot& snap(PyObject* self) {
  return reinterpret_cast<SnapshotObject*>(self)->snapshot;
}


// --- construction ---

PyObject* new_snapshot(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* const names[] = {"policy_epoch",
                                        "catalog_epoch",
                                        "hard_risk_limit_bps",
                                        "minimum_confidence_bps",
                                        "risk_penalty_multiplier_bps",
                                        "latency_penalty_microunits_per_ms",
                                        "models"};
    static const Signature sig{"PolicySnapshot", names, 7, 7};
    BoundArgs b;
    if (!bind_tuple(sig, args, kwargs, b)) return nullptr;
    PolicyParams p;
    auto policy_epoch = to_int<uint64_t>(b[0], names[0]);
    if (!policy_epoch) return nullptr;
    auto catalog_epoch = to_int<uint64_t>(b[1], names[1]);
    if (!catalog_epoch) return nullptr;
    auto hard_risk = to_int<uint16_t>(b[2], names[2]);
    if (!hard_risk) return nullptr;
    auto min_confidence = to_int<uint16_t>(b[3], names[3]);
    if (!min_confidence) return nullptr;
    auto multiplier = to_int<uint16_t>(b[4], names[4]);
    if (!multiplier) return nullptr;
    auto latency_penalty = to_int<uint64_t>(b[5], names[5]);
    if (!latency_penalty) return nullptr;
    p.policy_epoch = *policy_epoch;
    p.catalog_epoch = *catalog_epoch;
    p.hard_risk_limit_bps = *hard_risk;
    p.minimum_confidence_bps = *min_confidence;
    p.risk_penalty_multiplier_bps = *multiplier;
    p.latency_penalty_microunits_per_ms = *latency_penalty;
    // The field values are copied here; later changes to the KernelModel
    // objects never reach the snapshot.
    auto models = sequence_arg<KernelModel>(b[6], names[6], [](PyObject* item) {
      return model_arg(item, "models");
    });
    if (!models) return nullptr;

    auto built = try_new_trusted(p, std::move(*models));
    if (!built) return value_error(built.error().message());
    return reinterpret_cast<PyObject*>(
        new_object(type, &SnapshotObject::snapshot, std::move(*built)));
  });
}

// --- properties ---

PyObject* get_policy_epoch(PyObject* self, void*) {
  return from_int(snap(self).params().policy_epoch);
}
PyObject* get_catalog_epoch(PyObject* self, void*) {
  return from_int(snap(self).params().catalog_epoch);
}
PyObject* get_hard_risk_limit_bps(PyObject* self, void*) {
  return from_int(snap(self).params().hard_risk_limit_bps);
}
PyObject* get_minimum_confidence_bps(PyObject* self, void*) {
  return from_int(snap(self).params().minimum_confidence_bps);
}
PyObject* get_risk_penalty_multiplier_bps(PyObject* self, void*) {
  return from_int(snap(self).params().risk_penalty_multiplier_bps);
}
PyObject* get_latency_penalty(PyObject* self, void*) {
  return from_int(snap(self).params().latency_penalty_microunits_per_ms);
}

PyGetSetDef kGetSet[] = {
    {"policy_epoch", get_policy_epoch, nullptr, nullptr, nullptr},
    {"catalog_epoch", get_catalog_epoch, nullptr, nullptr, nullptr},
    {"hard_risk_limit_bps", get_hard_risk_limit_bps, nullptr, nullptr, nullptr},
    {"minimum_confidence_bps", get_minimum_confidence_bps, nullptr, nullptr, nullptr},
    {"risk_penalty_multiplier_bps", get_risk_penalty_multiplier_bps, nullptr, nullptr, nullptr},
    {"latency_penalty_microunits_per_ms", get_latency_penalty, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// --- plain methods ---

PyObject* model_count(PyObject* self, PyObject*) {
  return PyLong_FromSize_t(snap(self).models().size());
}

PyObject* models(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    std::span<const KernelModel> catalog = snap(self).models();
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(catalog.size())));
    if (!list) return nullptr;
    for (size_t i = 0; i < catalog.size(); ++i) {
      PyObject* m = wrap_model(catalog[i]);
      if (m == nullptr) return nullptr;
      PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), m);
    }
    return list.release();
  });
}

PyObject* fingerprint(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* { return from_str(snapshot_fingerprint(snap(self))); });
}

PyObject* as_dict(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    const PolicySnapshot& s = snap(self);
    const PolicyParams& p = s.params();
    Ref dict = Ref::steal(PyDict_New());
    if (!dict) return nullptr;
    PyObject* d = dict.get();
    bool ok = dict_put(d, MORVATEL_KEY("policy_epoch"), from_int(p.policy_epoch)) &&
              dict_put(d, MORVATEL_KEY("catalog_epoch"), from_int(p.catalog_epoch)) &&
              dict_put(d, MORVATEL_KEY("hard_risk_limit_bps"), from_int(p.hard_risk_limit_bps)) &&
              dict_put(d, MORVATEL_KEY("minimum_confidence_bps"),
                       from_int(p.minimum_confidence_bps)) &&
              dict_put(d, MORVATEL_KEY("risk_penalty_multiplier_bps"),
                       from_int(p.risk_penalty_multiplier_bps)) &&
              dict_put(d, MORVATEL_KEY("latency_penalty_microunits_per_ms"),
                       from_int(p.latency_penalty_microunits_per_ms)) &&
              dict_put(d, MORVATEL_KEY("model_count"), PyLong_FromSize_t(s.models().size())) &&
              dict_put(d, MORVATEL_KEY("fingerprint"), from_str(snapshot_fingerprint(s)));
    return ok ? dict.release() : nullptr;
  });
}

PyObject* repr(PyObject* self) {
  return guarded([&]() -> PyObject* {
    const PolicySnapshot& s = snap(self);
    return from_str(str_cat("PolicySnapshot(policy_epoch=", s.params().policy_epoch,
                            ", catalog_epoch=", s.params().catalog_epoch,
                            ", models=", s.models().size(), ")"));
  });
}

// --- prescription ---

const char* const kInputNames[] = {"input"};

// Binds the one `input` parameter and applies the request check.
std::optional<KernelInput> bind_input(const char* function, PyObject* const* args, Py_ssize_t nargs,
                                      PyObject* kwnames) {
  // The common call, one positional argument, needs no binding.
  if (kwnames == nullptr && nargs == 1) return validated_input_arg(args[0], "input");
  Signature sig{function, kInputNames, 1, 1};
  BoundArgs b;
  if (!bind_fast(sig, args, nargs, kwnames, b)) return std::nullopt;
  return validated_input_arg(b[0], "input");
}

PyObject* prescribe(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    // The common call, one valid KernelInput by position, reads the request
    // in place: no Python code can run between here and the kernel's
    // return, so this is the same as deciding on a copy.
    PyTypeObject* input_type = kernel_input_type();
    if (kwnames == nullptr && nargs == 1 && input_type != nullptr &&
        is_instance(args[0], input_type)) {
      const KernelInput& in = input_record(args[0]);
      if (validate_input(in)) return wrap_decision(prescribe_inner(snap(self), in).decision);
    }
    auto input = bind_input("prescribe", args, nargs, kwnames);
    if (!input) return nullptr;
    return wrap_decision(prescribe_inner(snap(self), *input).decision);
  });
}

PyObject* trace_dict(const GateTrace& t, const KernelDecision& d) {
  Ref dict = Ref::steal(PyDict_New());
  if (!dict) return nullptr;
  PyObject* o = dict.get();
  bool ok = dict_put(o, MORVATEL_KEY("disabled"), from_int(t.disabled)) &&
            dict_put(o, MORVATEL_KEY("quality"), from_int(t.quality)) &&
            dict_put(o, MORVATEL_KEY("risk_ceiling"), from_int(t.risk_ceiling)) &&
            dict_put(o, MORVATEL_KEY("latency"), from_int(t.latency)) &&
            dict_put(o, MORVATEL_KEY("capability"), from_int(t.capability)) &&
            dict_put(o, MORVATEL_KEY("provider"), from_int(t.provider)) &&
            dict_put(o, MORVATEL_KEY("region"), from_int(t.region)) &&
            dict_put(o, MORVATEL_KEY("budget"), from_int(t.budget)) &&
            dict_put(o, MORVATEL_KEY("utility"), from_int(t.utility)) &&
            dict_put(o, MORVATEL_KEY("evaluated_models"), from_int(d.evaluated_models)) &&
            dict_put(o, MORVATEL_KEY("eligible_models"), from_int(d.eligible_models));
  return ok ? dict.release() : nullptr;
}

PyObject* prescribe_with_trace(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    auto input = bind_input("prescribe_with_trace", args, nargs, kwnames);
    if (!input) return nullptr;
    Prescription result = prescribe_inner(snap(self), *input);
    Ref counts = Ref::steal(trace_dict(result.trace, result.decision));
    if (!counts) return nullptr;
    Ref decision = Ref::steal(wrap_decision(result.decision));
    if (!decision) return nullptr;
    return PyTuple_Pack(2, decision.get(), counts.get());
  });
}

// --- explanations and counterfactual probes ---

PyObject* explain_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    auto input = bind_input("explain", args, nargs, kwnames);
    if (!input) return nullptr;
    const Explanation result = explain(snap(self), *input);
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(result.candidates.size())));
    if (!list) return nullptr;
    for (size_t i = 0; i < result.candidates.size(); ++i) {
      PyObject* c = wrap_explanation(result.candidates[i]);
      if (c == nullptr) return nullptr;
      PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), c);
    }
    return list.release();
  });
}

struct ProbeArgs {
  KernelInput input;
  uint32_t model_id;
};

// `input`, then `model_id`, then the request check, in that order.
std::optional<ProbeArgs> bind_probe_args(const char* function, PyObject* const* args,
                                         Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"input", "model_id"};
  Signature sig{function, names, 2, 2};
  BoundArgs b;
  if (!bind_fast(sig, args, nargs, kwnames, b)) return std::nullopt;
  auto input = input_arg(b[0], "input");
  if (!input) return std::nullopt;
  auto model_id = to_int<uint32_t>(b[1], "model_id");
  if (!model_id) return std::nullopt;
  if (auto ok = validate_input(*input); !ok) {
    value_error(ok.error().message());
    return std::nullopt;
  }
  return ProbeArgs{*input, *model_id};
}

PyObject* requirements_to_list(const std::vector<Requirement>& levers) {
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(levers.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < levers.size(); ++i) {
    const Requirement& r = levers[i];
    Ref dict = Ref::steal(PyDict_New());
    if (!dict) return nullptr;
    PyObject* d = dict.get();
    Ref cost = Ref::steal(from_optional(r.cost_at_boundary));
    bool ok = dict_put(d, MORVATEL_KEY("lever"), from_str(lever_name(r.lever))) &&
              dict_put(d, MORVATEL_KEY("current"), from_int(r.current)) &&
              dict_put(d, MORVATEL_KEY("boundary"), from_int(r.boundary)) &&
              dict_put(d, MORVATEL_KEY("cost_at_boundary_microunits"), cost.release());
    if (!ok) return nullptr;
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), dict.release());
  }
  return list.release();
}

PyObject* what_would_win_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    auto a = bind_probe_args("what_would_win", args, nargs, kwnames);
    if (!a) return nullptr;
    auto result = what_would_win(snap(self), a->input, a->model_id);
    if (!result) Py_RETURN_NONE;
    Ref dict = Ref::steal(PyDict_New());
    if (!dict) return nullptr;
    PyObject* d = dict.get();
    Ref blocked = Ref::steal(result->blocked_by_request
                                 ? from_str(text(*result->blocked_by_request))
                                 : Py_NewRef(Py_None));
    bool ok = dict_put(d, MORVATEL_KEY("model_id"), from_int(result->model_id)) &&
              dict_put(d, MORVATEL_KEY("selected_model_id"), from_int(result->selected_model_id)) &&
              dict_put(d, MORVATEL_KEY("blocked_by_request"), blocked.release()) &&
              dict_put(d, MORVATEL_KEY("levers"), requirements_to_list(result->levers));
    return ok ? dict.release() : nullptr;
  });
}

PyObject* decision_margin_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    auto input = bind_input("decision_margin", args, nargs, kwnames);
    if (!input) return nullptr;
    auto result = decision_margin(snap(self), *input);
    if (!result) Py_RETURN_NONE;
    Ref dict = Ref::steal(PyDict_New());
    if (!dict) return nullptr;
    PyObject* d = dict.get();
    bool ok = dict_put(d, MORVATEL_KEY("model_id"), from_int(result->model_id)) &&
              dict_put(d, MORVATEL_KEY("levers"), requirements_to_list(result->levers));
    return ok ? dict.release() : nullptr;
  });
}

PyObject* model_utility(const char* function, PyObject* self, PyObject* const* args,
                        Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    auto a = bind_probe_args(function, args, nargs, kwnames);
    if (!a) return nullptr;
    return from_optional(utility_for_model(snap(self), a->input, a->model_id));
  });
}

PyObject* utility_for_model_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) {
  return model_utility("utility_for_model", self, args, nargs, kwnames);
}

PyObject* counterfactual_utility_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                        PyObject* kwnames) {
  return model_utility("counterfactual_utility", self, args, nargs, kwnames);
}

// Scratch space of prescribe_batch, one set per thread. A batch can
// re-enter itself on its thread (a custom sequence's __getitem__ may call
// prescribe_batch), so a set in use is never handed out twice.
struct BatchBuffers {
  std::vector<KernelInput> inputs;
  std::vector<KernelDecision> decisions;
  bool in_use = false;

  // Empties the buffers when a call ends, giving back memory beyond what
  // an ordinary batch needs.
  struct Release {
    BatchBuffers& b;
    ~Release() {
      b.in_use = false;
      constexpr size_t kKeep = size_t{1} << 14;  // about 2.5 MB for both
      b.inputs.clear();
      b.decisions.clear();
      if (b.inputs.capacity() > kKeep) std::vector<KernelInput>().swap(b.inputs);
      if (b.decisions.capacity() > kKeep) std::vector<KernelDecision>().swap(b.decisions);
    }
  };
};

// The thread's buffers, or `spare` when they are already in use.
BatchBuffers& batch_buffers(BatchBuffers& spare) {
  thread_local BatchBuffers buffers;
  BatchBuffers& chosen = buffers.in_use ? spare : buffers;
  chosen.in_use = true;
  return chosen;
}

PyObject* prescribe_batch_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static const char* const names[] = {"inputs"};
    static const Signature sig{"prescribe_batch", names, 1, 1};
    BoundArgs b;
    if (!bind_fast(sig, args, nargs, kwnames, b)) return nullptr;
    // Every element is copied before any is checked, so a wrong element
    // anywhere is reported before a value error. The copies and the
    // decisions live in per-thread buffers that keep their memory between
    // calls: fresh large allocations would fault in new pages on every
    // batch, under the interpreter lock.
    BatchBuffers spare;
    BatchBuffers& buffers = batch_buffers(spare);
    std::vector<KernelInput>& inputs = buffers.inputs;
    std::vector<KernelDecision>& decisions = buffers.decisions;
    BatchBuffers::Release release{buffers};
    if (!sequence_into<KernelInput>(b[0], "inputs", inputs,
                                    [](PyObject* item) { return input_arg(item, "inputs"); })) {
      return nullptr;
    }
    for (const KernelInput& in : inputs) {
      if (auto ok = validate_input(in); !ok) return value_error(ok.error().message());
    }
    decisions.resize(inputs.size());
    // A value copy shares the catalogue; the kernel then touches no Python
    // object, so other threads may run, on this snapshot too.
    const PolicySnapshot snapshot = snap(self);
    static_assert(noexcept(prescribe_batch(snapshot, inputs, decisions)),
                  "nothing may unwind through the region without the interpreter lock");
    {
      ReleaseGil unlocked;
      prescribe_batch(snapshot, inputs, decisions);
    }
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(decisions.size())));
    if (!list) return nullptr;
    for (size_t i = 0; i < decisions.size(); ++i) {
      PyObject* d = wrap_decision(decisions[i]);
      if (d == nullptr) return nullptr;
      PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), d);
    }
    return list.release();
  });
}


// The class's method table, in its published order. Methods of the
// verification, audit, signing and receipt layers take their places here
// as they land.
PyMethodDef kMethods[] = {
    {"model_count", model_count, METH_NOARGS, "model_count($self)\n--\n\n"},
    {"models", models, METH_NOARGS, "models($self)\n--\n\n"},
    {"fingerprint", fingerprint, METH_NOARGS, "fingerprint($self)\n--\n\n"},
    {"as_dict", as_dict, METH_NOARGS, "as_dict($self)\n--\n\n"},
    {"prescribe", fastcall(prescribe), kFast, "prescribe($self, input)\n--\n\n"},
    {"prescribe_with_trace", fastcall(prescribe_with_trace), kFast,
     "prescribe_with_trace($self, input)\n--\n\n"},
    {"explain", fastcall(explain_method), kFast,
     "explain($self, input)\n--\n\n"
     "A verdict for every candidate, in catalog order.\n"
     "\n"
     "The slow path, and the only one that allocates. It runs the same gates and\n"
     "the same arithmetic as `prescribe`, so a candidate reported eligible here\n"
     "is one that was ranked. Returns an empty list when the request was refused\n"
     "at the hard limits and no candidate was ever examined."},
    {"what_would_win", fastcall(what_would_win_method), kFast,
     "what_would_win($self, input, model_id)\n--\n\n"
     "What `model_id` would need, one lever at a time, to be selected.\n"
     "\n"
     "Preview API (not yet covered by the 1.x stability promise). Each entry in\n"
     "`levers` names a lever of that candidate, its value today, and the value\n"
     "closest to today at which the kernel would select it, computed by running\n"
     "the real kernel rather than a second formula. `None` when the model is not\n"
     "in the catalog."},
    {"decision_margin", fastcall(decision_margin_method), kFast,
     "decision_margin($self, input)\n--\n\n"
     "How far the selected candidate's levers can move before it loses.\n"
     "\n"
     "Preview API. `None` when nothing was selected. A lever missing from\n"
     "`levers` cannot make the winner lose on its own."},
    {"utility_for_model", fastcall(utility_for_model_method), kFast,
     "utility_for_model($self, input, model_id)\n--\n\n"},
    {"counterfactual_utility", fastcall(counterfactual_utility_method), kFast,
     "counterfactual_utility($self, input, model_id)\n--\n\n"},
    {"proof_envelope", fastcall(snapshot_proof_envelope), kFast,
     "proof_envelope($self, input, decision)\n--\n\n"},
    {"prescribe_batch", fastcall(prescribe_batch_method), kFast,
     "prescribe_batch($self, inputs)\n--\n\n"},
    {"verify", fastcall(snapshot_verify), kFast, "verify($self, input, decision)\n--\n\n"},
    {"verify_status", fastcall(snapshot_verify_status), kFast,
     "verify_status($self, input, decision)\n--\n\n"},
    {"audit_bundle", fastcall(snapshot_audit_bundle), kFast,
     "audit_bundle($self, input, decision)\n--\n\n"},
    {"verified_audit_bundle", fastcall(snapshot_verified_audit_bundle), kFast,
     "verified_audit_bundle($self, input, decision)\n--\n\n"},
    {"sign_policy", fastcall(snapshot_sign_policy), kFast,
     "sign_policy($self, signing_key_bytes, signer_id, signed_at_epoch_ms)\n--\n\n"},
    {"issue_receipt", fastcall(snapshot_issue_receipt), kFast,
     "issue_receipt($self, input, decision, *, state=None, wal=None)\n--\n\n"},
    {"stateful_audit_bundle", fastcall(snapshot_stateful_audit_bundle), kFast,
     "stateful_audit_bundle($self, input, decision, transition)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyTypeObject* policy_snapshot_type() {
  if (g_type != nullptr) return g_type;
  ClassSpec spec{"morvatel._core.PolicySnapshot",
                 "PolicySnapshot(policy_epoch, catalog_epoch, hard_risk_limit_bps, "
                 "minimum_confidence_bps, risk_penalty_multiplier_bps, "
                 "latency_penalty_microunits_per_ms, models)\n--\n\n",
                 static_cast<int>(sizeof(SnapshotObject)),
                 true,
                 {
                     {Py_tp_new, reinterpret_cast<void*>(new_snapshot)},
                     {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_object<SnapshotObject>)},
                     {Py_tp_repr, reinterpret_cast<void*>(repr)},
                     {Py_tp_getset, kGetSet},
                     {Py_tp_methods, kMethods},
                 }};
  return cached_class(g_type, spec);
}

const PolicySnapshot* snapshot_arg(PyObject* o, std::string_view name) {
  PyTypeObject* type = policy_snapshot_type();
  if (type == nullptr) return nullptr;
  if (!is_instance(o, type)) {
    wrong_type(o, "PolicySnapshot", name);
    return nullptr;
  }
  return &snap(o);
}

const PolicySnapshot& snapshot_of(PyObject* self) { return snap(self); }

std::optional<DecisionArgs> decision_args(PyObject* const* args) {
  auto input = input_arg(args[0], "input");
  if (!input) return std::nullopt;
  auto decision = decision_arg(args[1], "decision");
  if (!decision) return std::nullopt;
  return DecisionArgs{nullptr, *input, *decision};
}

std::optional<DecisionArgs> snapshot_decision_args(PyObject* const* args) {
  const PolicySnapshot* snapshot = snapshot_arg(args[0], "snapshot");
  if (snapshot == nullptr) return std::nullopt;
  auto d = decision_args(args + 1);
  if (d) d->snapshot = snapshot;
  return d;
}

}  // namespace morvatel::py
