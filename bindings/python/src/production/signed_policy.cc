#include "production/signed_policy.h"

#include <optional>
#include <utility>

#include "debug_text.h"
#include "lib/args.h"
#include "lib/convert.h"
#include "lib/errors.h"
#include "lib/policy_snapshot.h"
#include "lib/types.h"
#include "production/artifacts.h"
#include "production/exceptions.h"
#include "production/json_errors.h"
#include "text.h"

namespace morvatel::py {

namespace {

struct SignedPolicyObject {
  PyObject_HEAD
  provenance::SignedPolicy rec;
};

PyTypeObject* g_type = nullptr;

const provenance::SignedPolicy& rec(PyObject* self) {
  return reinterpret_cast<SignedPolicyObject*>(self)->rec;
}


PyObject* wrap(provenance::SignedPolicy value) {
  PyTypeObject* type = signed_policy_type();
  if (type == nullptr) return nullptr;
  return reinterpret_cast<PyObject*>(new_object(type, &SignedPolicyObject::rec, std::move(value)));
}

// --- properties ---

PyObject* get_policy_digest_hex(PyObject* self, void*) {
  return from_str(rec(self).policy_digest_hex);
}
PyObject* get_signer_id(PyObject* self, void*) { return from_str(rec(self).signer_id); }
PyObject* get_signed_at_epoch_ms(PyObject* self, void*) {
  return from_int(rec(self).signed_at_epoch_ms);
}
PyObject* get_public_key_hex(PyObject* self, void*) { return from_str(rec(self).public_key_hex); }
PyObject* get_signature_hex(PyObject* self, void*) { return from_str(rec(self).signature_hex); }

PyGetSetDef kGetSet[] = {
    {"policy_digest_hex", get_policy_digest_hex, nullptr, nullptr, nullptr},
    {"signer_id", get_signer_id, nullptr, nullptr, nullptr},
    {"signed_at_epoch_ms", get_signed_at_epoch_ms, nullptr, nullptr, nullptr},
    {"public_key_hex", get_public_key_hex, nullptr, nullptr, nullptr},
    {"signature_hex", get_signature_hex, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// --- methods ---

const char* const kVerifyNames[] = {"snapshot", "trusted_public_key"};

PyObject* verify(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static const Signature sig{"verify", kVerifyNames, 2, 2};
    BoundArgs b;
    if (!bind_fast(sig, args, nargs, kwnames, b)) return nullptr;
    const PolicySnapshot* snapshot = snapshot_arg(b[0], kVerifyNames[0]);
    if (snapshot == nullptr) return nullptr;
    auto key_bytes = to_bytes(b[1], kVerifyNames[1]);
    if (!key_bytes) return nullptr;
    auto trusted = verifying_key(*key_bytes);
    if (!trusted) return nullptr;
    if (auto r = provenance::verify(rec(self), *snapshot, *trusted); !r) {
      return provenance_error(r.error());
    }
    Py_RETURN_NONE;
  });
}

PyObject* to_json(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    auto text = provenance::to_json(rec(self));
    if (!text) return runtime_error(std::move(text.error()));
    return from_str(*text);
  });
}

PyObject* as_dict(PyObject* self, PyObject*) {
  return guarded(
      [&]() -> PyObject* { return json_value_to_dict(provenance::to_value(rec(self))); });
}

const char* const kFromJsonNames[] = {"value"};

PyObject* from_json(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static const Signature sig{"from_json", kFromJsonNames, 1, 1};
    BoundArgs b;
    if (!bind_fast(sig, args, nargs, kwnames, b)) return nullptr;
    auto text = to_str(b[0], kFromJsonNames[0]);
    if (!text) return nullptr;
    auto parsed = provenance::parse_signed_policy(*text);
    if (!parsed) return invalid_value(std::move(parsed.error()));
    return wrap(std::move(*parsed));
  });
}

PyObject* repr(PyObject* self) {
  return guarded([&]() -> PyObject* {
    const provenance::SignedPolicy& r = rec(self);
    return from_str(str_cat("SignedPolicy(signer_id=", debug_quoted(r.signer_id),
                            ", signed_at_epoch_ms=", r.signed_at_epoch_ms, ", digest='",
                            preview(r.policy_digest_hex), "...')"));
  });
}


PyMethodDef kMethods[] = {
    {"verify", fastcall(verify), kFast, "verify($self, snapshot, trusted_public_key)\n--\n\n"},
    {"to_json", to_json, METH_NOARGS, "to_json($self)\n--\n\n"},
    {"from_json", fastcall(from_json), kFast | METH_STATIC, "from_json(value)\n--\n\n"},
    {"as_dict", as_dict, METH_NOARGS, "as_dict($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

// --- public_key_from_signing_key ---

const char* const kSeedNames[] = {"signing_key_bytes"};

PyObject* public_key_from_signing_key(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                      PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static const Signature sig{"public_key_from_signing_key", kSeedNames, 1, 1};
    BoundArgs b;
    if (!bind_fast(sig, args, nargs, kwnames, b)) return nullptr;
    auto seed = to_bytes(b[0], kSeedNames[0]);
    if (!seed) return nullptr;
    // The key pair wipes its seed when it goes out of scope.
    auto key = signing_key(*seed);
    if (!key) return nullptr;
    const Ed25519PublicKey& pk = key->public_key();
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(pk.data()),
                                     static_cast<Py_ssize_t>(pk.size()));
  });
}

PyMethodDef kPublicKeyDef = {"public_key_from_signing_key", fastcall(public_key_from_signing_key),
                             kFast, "public_key_from_signing_key(signing_key_bytes)\n--\n\n"};

}  // namespace

PyTypeObject* signed_policy_type() {
  if (g_type != nullptr) return g_type;
  ClassSpec spec{"morvatel._core.SignedPolicy",
                 nullptr,
                 static_cast<int>(sizeof(SignedPolicyObject)),
                 false,
                 {
                     {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_object<SignedPolicyObject>)},
                     {Py_tp_repr, reinterpret_cast<void*>(repr)},
                     {Py_tp_getset, kGetSet},
                     {Py_tp_methods, kMethods},
                 }};
  return cached_class(g_type, spec);
}

const char* const kSignNames[] = {"signing_key_bytes", "signer_id", "signed_at_epoch_ms"};

PyObject* snapshot_sign_policy(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static const Signature sig{"sign_policy", kSignNames, 3, 3};
    BoundArgs b;
    if (!bind_fast(sig, args, nargs, kwnames, b)) return nullptr;
    auto seed = to_bytes(b[0], kSignNames[0]);
    if (!seed) return nullptr;
    auto signer = to_str(b[1], kSignNames[1]);
    if (!signer) return nullptr;
    auto signed_at = to_int<uint64_t>(b[2], kSignNames[2]);
    if (!signed_at) return nullptr;
    provenance::SignedPolicy record;
    {
      // The key pair, and with it the seed, is wiped when this scope ends,
      // before anything that could fail.
      auto key = signing_key(*seed);
      if (!key) return nullptr;
      record = provenance::sign_policy(snapshot_of(self), *key, *signer, *signed_at);
    }
    return wrap(std::move(record));
  });
}

std::nullptr_t provenance_error(const provenance::ProvenanceError& error) {
  return raise_error(ErrorClass::Provenance, error.message());
}

PyObject* new_public_key_from_signing_key(PyObject* module) {
  Ref name = Ref::steal(PyModule_GetNameObject(module));
  if (!name) return nullptr;
  return PyCFunction_NewEx(&kPublicKeyDef, module, name.get());
}

}  // namespace morvatel::py
