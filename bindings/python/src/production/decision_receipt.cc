#include "production/decision_receipt.h"

#include <array>
#include <iterator>
#include <optional>
#include <utility>

#include "lib/args.h"
#include "lib/convert.h"
#include "lib/errors.h"
#include "lib/kernel_records.h"
#include "lib/policy_snapshot.h"
#include "lib/types.h"
#include "production/artifacts.h"
#include "production/json_errors.h"
#include "production/receipt_anchors.h"
#include "production/receipt_errors.h"
#include "receipt.h"
#include "receipt_json.h"
#include "text.h"

namespace morvatel::py {

namespace {


struct ReceiptObject {
  PyObject_HEAD
  DecisionReceipt r;
  // Access held by unfinished calls: 0 none, n > 0 shared by n calls, -1
  // exclusive (sign). Converting an integer argument can run Python code
  // that calls back into the same receipt; such a call is refused rather
  // than let it see or change a receipt in the middle of another call.
  int access = 0;
};

PyTypeObject* g_type = nullptr;

ReceiptObject* object_of(PyObject* self) { return reinterpret_cast<ReceiptObject*>(self); }

// Runs f(receipt) with shared access: refused while a sign is unfinished.
template <typename F>
PyObject* shared(PyObject* self, F&& f) {
  ReceiptObject* o = object_of(self);
  if (o->access < 0) return raise(PyExc_RuntimeError, "Already mutably borrowed");
  ++o->access;
  PyObject* result = guarded([&]() -> PyObject* { return f(std::as_const(o->r)); });
  --o->access;
  return result;
}

// Runs f(receipt) with exclusive access: refused while any call is
// unfinished.
template <typename F>
PyObject* exclusive(PyObject* self, F&& f) {
  ReceiptObject* o = object_of(self);
  if (o->access != 0) return raise(PyExc_RuntimeError, "Already borrowed");
  o->access = -1;
  PyObject* result = guarded([&]() -> PyObject* { return f(o->r); });
  o->access = 0;
  return result;
}

PyObject* wrap_receipt(DecisionReceipt r) {
  PyTypeObject* type = decision_receipt_type();
  if (type == nullptr) return nullptr;
  auto* obj = new_object(type, &ReceiptObject::r, std::move(r));
  if (obj == nullptr) return nullptr;
  obj->access = 0;
  return reinterpret_cast<PyObject*>(obj);
}

PyObject* none_or(bool present, auto&& make) {
  if (!present) Py_RETURN_NONE;
  return make();
}

// --- properties ---

PyObject* value_of(const std::string& s) { return from_str(s); }
PyObject* value_of(uint64_t v) { return from_int(v); }
PyObject* value_of(bool b) { return from_bool(b); }
PyObject* value_of(const ReceiptState& s) { return wrap_receipt_state(s); }
PyObject* value_of(const ReceiptWal& w) { return wrap_receipt_wal(w); }
template <typename T>
PyObject* value_of(const std::optional<T>& v) {
  return none_or(v.has_value(), [&] { return value_of(*v); });
}

// One read-only attribute: its name and how it reads the receipt. The
// signature's parts are None while the receipt is unsigned.
struct Attribute {
  const char* name;
  PyObject* (*read)(const DecisionReceipt&);
};

template <auto Member>
PyObject* receipt_field(const DecisionReceipt& r) {
  return value_of(r.*Member);
}

template <auto Member>
PyObject* signature_field(const DecisionReceipt& r) {
  return none_or(r.signature.has_value(), [&] { return value_of((*r.signature).*Member); });
}

constexpr Attribute kAttributes[] = {
    {"schema_version", receipt_field<&DecisionReceipt::schema_version>},
    {"policy_epoch", receipt_field<&DecisionReceipt::policy_epoch>},
    {"catalog_epoch", receipt_field<&DecisionReceipt::catalog_epoch>},
    {"policy_digest_hex", receipt_field<&DecisionReceipt::policy_digest_hex>},
    {"input_digest_hex", receipt_field<&DecisionReceipt::input_digest_hex>},
    {"decision_digest_hex", receipt_field<&DecisionReceipt::decision_digest_hex>},
    {"replay_valid", receipt_field<&DecisionReceipt::replay_valid>},
    {"claims_digest_hex", receipt_field<&DecisionReceipt::claims_digest_hex>},
    {"signer_id", signature_field<&ReceiptSignature::signer_id>},
    {"signed_at_epoch_ms", signature_field<&ReceiptSignature::signed_at_epoch_ms>},
    {"public_key_hex", signature_field<&ReceiptSignature::public_key_hex>},
    {"signature_hex", signature_field<&ReceiptSignature::signature_hex>},
    {"state", receipt_field<&DecisionReceipt::state>},
    {"wal", receipt_field<&DecisionReceipt::wal>},
};

PyObject* get_attribute(PyObject* self, void* closure) {
  return shared(self, static_cast<const Attribute*>(closure)->read);
}

auto kGetSet = [] {
  std::array<PyGetSetDef, std::size(kAttributes) + 1> table{};
  for (size_t i = 0; i < std::size(kAttributes); ++i) {
    table[i] = {kAttributes[i].name, get_attribute, nullptr, nullptr,
                const_cast<Attribute*>(&kAttributes[i])};
  }
  return table;  // ends with the zeroed entry
}();

// --- methods ---

// None for a receipt that passed, or its error raised.
PyObject* none_or_error(ReceiptResult<void> r) {
  if (!r) return receipt_error(std::move(r.error()));
  Py_RETURN_NONE;
}

PyObject* sign(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return exclusive(self, [&](DecisionReceipt& rec) -> PyObject* {
    static const char* const names[] = {"signing_key_bytes", "signer_id", "signed_at_epoch_ms"};
    BoundArgs b;
    if (!bind_fast(Signature{"sign", names, 3, 3}, args, nargs, kwnames, b)) return nullptr;
    auto key_bytes = to_bytes(b[0], "signing_key_bytes");
    if (!key_bytes) return nullptr;
    auto signer_id = to_str(b[1], "signer_id");
    if (!signer_id) return nullptr;
    auto signed_at = to_int<uint64_t>(b[2], "signed_at_epoch_ms");
    if (!signed_at) return nullptr;
    // The key pair wipes its seed when it goes out of scope, on every path.
    auto key = signing_key(*key_bytes);
    if (!key) return nullptr;
    return none_or_error(sign_receipt(rec, *key, *signer_id, *signed_at));
  });
}

PyObject* verify(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return shared(self, [&](const DecisionReceipt& rec) -> PyObject* {
    static const char* const names[] = {"snapshot", "input", "decision"};
    BoundArgs b;
    if (!bind_fast(Signature{"verify", names, 3, 3}, args, nargs, kwnames, b)) return nullptr;
    auto d = snapshot_decision_args(b.slot);
    if (!d) return nullptr;
    if (auto ok = validate_input(d->input); !ok) return value_error(ok.error().message());
    return none_or_error(verify_receipt(rec, *d->snapshot, d->input, d->decision));
  });
}

PyObject* verify_signature(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  return shared(self, [&](const DecisionReceipt& rec) -> PyObject* {
    static const char* const names[] = {"trusted_public_key"};
    BoundArgs b;
    if (!bind_fast(Signature{"verify_signature", names, 1, 1}, args, nargs, kwnames, b)) {
      return nullptr;
    }
    auto key_bytes = to_bytes(b[0], "trusted_public_key");
    if (!key_bytes) return nullptr;
    auto key = verifying_key(*key_bytes);
    if (!key) return nullptr;
    return none_or_error(verify_receipt_signature(rec, *key));
  });
}

PyObject* verify_full(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return shared(self, [&](const DecisionReceipt& r) -> PyObject* {
    static const char* const names[] = {"snapshot",           "input",          "decision",
                                        "trusted_public_key", "expected_state", "expected_wal"};
    BoundArgs b;
    if (!bind_fast(Signature{"verify_full", names, 6, 6}, args, nargs, kwnames, b)) {
      return nullptr;
    }
    auto d = snapshot_decision_args(b.slot);
    if (!d) return nullptr;
    auto key_bytes = to_bytes(b[3], "trusted_public_key");
    if (!key_bytes) return nullptr;
    auto expected_state = receipt_state_arg(b[4], "expected_state");
    if (!expected_state) return nullptr;
    auto expected_wal = receipt_wal_arg(b[5], "expected_wal");
    if (!expected_wal) return nullptr;
    auto key = verifying_key(*key_bytes);
    if (!key) return nullptr;
    if (auto ok = validate_input(d->input); !ok) return value_error(ok.error().message());
    ReceiptResult<void> result = verify_receipt_and_signature(r, *d->snapshot, d->input,
                                                              d->decision, *key);
    if (result) result = verify_receipt_state(r, *expected_state);
    if (result) result = verify_receipt_wal(r, *expected_wal);
    return none_or_error(std::move(result));
  });
}

PyObject* verify_wal(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return shared(self, [&](const DecisionReceipt& rec) -> PyObject* {
    static const char* const names[] = {"sequence", "entry_hash"};
    BoundArgs b;
    if (!bind_fast(Signature{"verify_wal", names, 2, 2}, args, nargs, kwnames, b)) {
      return nullptr;
    }
    auto sequence = to_int<uint64_t>(b[0], "sequence");
    if (!sequence) return nullptr;
    auto entry_hash = to_str(b[1], "entry_hash");
    if (!entry_hash) return nullptr;
    ReceiptWal expected{*sequence, std::string(*entry_hash)};
    return none_or_error(verify_receipt_wal(rec, expected));
  });
}

PyObject* verify_state(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return shared(self, [&](const DecisionReceipt& rec) -> PyObject* {
    static const char* const names[] = {"step", "state_digest_before_hex",
                                        "state_digest_after_hex"};
    BoundArgs b;
    if (!bind_fast(Signature{"verify_state", names, 3, 3}, args, nargs, kwnames, b)) {
      return nullptr;
    }
    auto step = to_int<uint64_t>(b[0], "step");
    if (!step) return nullptr;
    auto before = to_str(b[1], "state_digest_before_hex");
    if (!before) return nullptr;
    auto after = to_str(b[2], "state_digest_after_hex");
    if (!after) return nullptr;
    ReceiptState expected{*step, std::string(*before), std::string(*after)};
    return none_or_error(verify_receipt_state(rec, expected));
  });
}

PyObject* to_json(PyObject* self, PyObject*) {
  return shared(self, [&](const DecisionReceipt& rec) -> PyObject* {
    std::string text;
    json::StringSink sink(text);
    if (auto r = json::write(sink, rec); !r) {
      return runtime_error(std::move(r.error()));
    }
    return from_str(text);
  });
}

PyObject* from_json(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static const char* const names[] = {"value"};
    BoundArgs b;
    if (!bind_fast(Signature{"from_json", names, 1, 1}, args, nargs, kwnames, b)) {
      return nullptr;
    }
    auto text = to_str(b[0], "value");
    if (!text) return nullptr;
    auto r = parse_receipt(*text);
    if (!r) return invalid_value(std::move(r.error()));
    return wrap_receipt(std::move(*r));
  });
}

PyObject* as_dict(PyObject* self, PyObject*) {
  return shared(self, [](const DecisionReceipt& r) -> PyObject* {
    return json_value_to_dict(receipt_to_value(r));
  });
}

PyObject* repr(PyObject* self) {
  return shared(self, [](const DecisionReceipt& r) -> PyObject* {
    return from_str(str_cat("DecisionReceipt(policy_epoch=", r.policy_epoch, ", catalog_epoch=",
                            r.catalog_epoch, ", signed=", r.signature ? "true" : "false",
                            ", claims='", preview(r.claims_digest_hex), "...')"));
  });
}

PyMethodDef kMethods[] = {
    {"sign", fastcall(sign), kFast,
     "sign($self, signing_key_bytes, signer_id, signed_at_epoch_ms)\n--\n\n"},
    {"verify", fastcall(verify), kFast, "verify($self, snapshot, input, decision)\n--\n\n"},
    {"verify_signature", fastcall(verify_signature), kFast,
     "verify_signature($self, trusted_public_key)\n--\n\n"},
    {"verify_full", fastcall(verify_full), kFast,
     "verify_full($self, snapshot, input, decision, trusted_public_key, expected_state, "
     "expected_wal)\n--\n\n"},
    {"verify_wal", fastcall(verify_wal), kFast, "verify_wal($self, sequence, entry_hash)\n--\n\n"},
    {"verify_state", fastcall(verify_state), kFast,
     "verify_state($self, step, state_digest_before_hex, state_digest_after_hex)\n--\n\n"},
    {"to_json", to_json, METH_NOARGS, "to_json($self)\n--\n\n"},
    {"from_json", fastcall(from_json), kFast | METH_STATIC, "from_json(value)\n--\n\n"},
    {"as_dict", as_dict, METH_NOARGS, "as_dict($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyTypeObject* decision_receipt_type() {
  if (g_type != nullptr) return g_type;
  ClassSpec spec{"morvatel._core.DecisionReceipt",
                 nullptr,
                 static_cast<int>(sizeof(ReceiptObject)),
                 false,
                 {
                     {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_object<ReceiptObject>)},
                     {Py_tp_getset, kGetSet.data()},
                     {Py_tp_methods, kMethods},
                     {Py_tp_repr, reinterpret_cast<void*>(repr)},
                 }};
  return cached_class(g_type, spec);
}

PyObject* snapshot_issue_receipt(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static const char* const names[] = {"input", "decision", "state", "wal"};
    BoundArgs b;
    if (!bind_fast(Signature{"issue_receipt", names, 2, 2}, args, nargs, kwnames, b)) {
      return nullptr;
    }
    auto d = decision_args(b.slot);
    if (!d) return nullptr;
    std::optional<ReceiptState> state;
    if (b[2] != nullptr && b[2] != Py_None) {
      state = receipt_state_arg(b[2], "state");
      if (!state) return nullptr;
    }
    std::optional<ReceiptWal> wal;
    if (b[3] != nullptr && b[3] != Py_None) {
      wal = receipt_wal_arg(b[3], "wal");
      if (!wal) return nullptr;
    }
    if (auto ok = validate_input(d->input); !ok) return value_error(ok.error().message());
    auto r = issue_receipt(snapshot_of(self), d->input, d->decision, std::move(state),
                           std::move(wal));
    if (!r) return receipt_error(std::move(r.error()));
    return wrap_receipt(std::move(*r));
  });
}

}  // namespace morvatel::py
