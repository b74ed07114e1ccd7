#include "lib/policy_verify.h"

#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>

#include "kernel/records.h"
#include "lib/args.h"
#include "lib/convert.h"
#include "lib/dict_keys.h"
#include "lib/errors.h"
#include "lib/kernel_records.h"
#include "lib/policy_snapshot.h"
#include "proof.h"
#include "text.h"

namespace morvatel::py {

namespace {

// The argument steps every method shares, in their fixed order: `input`
// must be a KernelInput, then `decision` a KernelDecision (each copied),
// and only then is the request checked, before any replay.
std::optional<DecisionArgs> bind_request(const char* function, PyObject* const* args,
                                         Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"input", "decision"};
  Signature sig{function, names, 2, 2};
  BoundArgs b;
  if (!bind_fast(sig, args, nargs, kwnames, b)) return std::nullopt;
  auto d = decision_args(b.slot);
  if (!d) return std::nullopt;
  if (auto ok = validate_input(d->input); !ok) {
    value_error(ok.error().message());
    return std::nullopt;
  }
  return d;
}

PyObject* verify_dict(const VerifyResult& r) {
  Ref dict = Ref::steal(PyDict_New());
  if (!dict) return nullptr;
  PyObject* d = dict.get();
  if (!dict_put(d, MORVATEL_KEY("status"), from_str(r.status()))) return nullptr;
  if (const auto* m = std::get_if<VerifyMismatch>(&r.kind)) {
    bool ok = dict_put(d, MORVATEL_KEY("expected_action"), from_str(text(m->expected.action))) &&
              dict_put(d, MORVATEL_KEY("actual_action"), from_str(text(m->actual.action))) &&
              dict_put(d, MORVATEL_KEY("expected_model_id"),
                       from_int(m->expected.selected_model_id)) &&
              dict_put(d, MORVATEL_KEY("actual_model_id"), from_int(m->actual.selected_model_id)) &&
              dict_put(d, MORVATEL_KEY("expected_reason"), from_str(text(m->expected.reason))) &&
              dict_put(d, MORVATEL_KEY("actual_reason"), from_str(text(m->actual.reason)));
    if (!ok) return nullptr;
  } else if (const auto* m = std::get_if<VerifyDigestMismatch>(&r.kind)) {
    bool ok = dict_put(d, MORVATEL_KEY("expected_hex"), from_str(m->expected_hex)) &&
              dict_put(d, MORVATEL_KEY("actual_hex"), from_str(m->actual_hex));
    if (!ok) return nullptr;
  }
  return dict.release();
}

PyObject* proof_dict(const ProofEnvelope& e) {
  Ref dict = Ref::steal(PyDict_New());
  if (!dict) return nullptr;
  PyObject* d = dict.get();
  bool ok = dict_put(d, MORVATEL_KEY("proof_version"), from_int(e.proof_version)) &&
            dict_put(d, MORVATEL_KEY("policy_digest_hex"), from_str(e.policy_digest_hex)) &&
            dict_put(d, MORVATEL_KEY("input_digest_hex"), from_str(e.input_digest_hex)) &&
            dict_put(d, MORVATEL_KEY("decision_digest_hex"), from_str(e.decision_digest_hex)) &&
            dict_put(d, MORVATEL_KEY("replay_valid"), from_bool(e.replay_valid)) &&
            dict_put(d, MORVATEL_KEY("wal_sequence"), from_optional(e.wal_sequence)) &&
            dict_put(d, MORVATEL_KEY("wal_entry_hash"), from_optional(e.wal_entry_hash)) &&
            dict_put(d, MORVATEL_KEY("budget_snapshot_version"),
                     from_optional(e.budget_snapshot_version)) &&
            dict_put(d, MORVATEL_KEY("ledger_digest_hex"), from_optional(e.ledger_digest_hex)) &&
            dict_put(d, MORVATEL_KEY("action"), from_str(e.action)) &&
            dict_put(d, MORVATEL_KEY("reason"), from_str(e.reason)) &&
            dict_put(d, MORVATEL_KEY("selected_model_id"), from_int(e.selected_model_id)) &&
            dict_put(d, MORVATEL_KEY("counterfactual_model_id"),
                     from_int(e.counterfactual_model_id)) &&
            dict_put(d, MORVATEL_KEY("estimated_cost_microunits"),
                     from_int(e.estimated_cost_microunits)) &&
            dict_put(d, MORVATEL_KEY("expected_utility_microunits"),
                     from_int(e.expected_utility_microunits));
  return ok ? dict.release() : nullptr;
}

// The bundle's keys by field position, made once.
PyObject* audit_bundle_key(size_t field, const char* name) {
  static PyObject* keys[kAuditBundleFields] = {};
  return interned_key(keys[field], name);
}

// A text field's value: the fixed texts every bundle carries are strings
// made once, any other text is made anew.
PyObject* audit_bundle_text(const std::string& value) {
  static constexpr std::string_view kFixed[] = {kAuditSchemaVersion, kAuditDigestAlgorithm,
                                                kAuditCreatedBy};
  static PyObject* made[std::size(kFixed)] = {};
  for (size_t i = 0; i < std::size(kFixed); ++i) {
    if (value == kFixed[i]) {
      PyObject* text = interned_key(made[i], kFixed[i].data());
      Py_XINCREF(text);
      return text;
    }
  }
  return from_str(value);
}

}  // namespace

PyObject* audit_bundle_to_dict(const AuditBundle& bundle) {
  Ref dict = Ref::steal(PyDict_New());
  if (!dict) return nullptr;
  size_t field = 0;
  bool ok = true;
  for_each_field(bundle, [&](const char* name, const auto& value) {
    if (!ok) return;
    using T = std::remove_cvref_t<decltype(value)>;
    PyObject* v;
    if constexpr (std::is_same_v<T, std::string>) {
      v = audit_bundle_text(value);
    } else if constexpr (std::is_same_v<T, bool>) {
      v = from_bool(value);
    } else {
      v = from_int(value);
    }
    ok = dict_put(dict.get(), audit_bundle_key(field++, name), v);
  });
  return ok ? dict.release() : nullptr;
}

PyObject* snapshot_verify(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    auto req = bind_request("verify", args, nargs, kwnames);
    if (!req) return nullptr;
    return verify_dict(verify_decision(snapshot_of(self), req->input, req->decision));
  });
}

PyObject* snapshot_verify_status(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    auto req = bind_request("verify_status", args, nargs, kwnames);
    if (!req) return nullptr;
    return from_str(verify_decision(snapshot_of(self), req->input, req->decision).status());
  });
}

PyObject* snapshot_audit_bundle(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    auto req = bind_request("audit_bundle", args, nargs, kwnames);
    if (!req) return nullptr;
    return audit_bundle_to_dict(audit_bundle(snapshot_of(self), req->input, req->decision));
  });
}

PyObject* snapshot_verified_audit_bundle(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                         PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    auto req = bind_request("verified_audit_bundle", args, nargs, kwnames);
    if (!req) return nullptr;
    auto bundle = verified_audit_bundle(snapshot_of(self), req->input, req->decision);
    if (!bundle) {
      return value_error(
          str_cat("decision verification failed: ", bundle.error().result.debug_string()));
    }
    return audit_bundle_to_dict(*bundle);
  });
}

PyObject* snapshot_proof_envelope(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    auto req = bind_request("proof_envelope", args, nargs, kwnames);
    if (!req) return nullptr;
    return proof_dict(seal(snapshot_of(self), req->input, req->decision));
  });
}

}  // namespace morvatel::py
