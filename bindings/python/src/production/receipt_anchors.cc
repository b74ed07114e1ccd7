#include "production/receipt_anchors.h"


#include "lib/args.h"
#include "lib/convert.h"
#include "lib/errors.h"
#include "lib/types.h"
#include "production/artifacts.h"
#include "production/exceptions.h"
#include "production/state_classes.h"
#include "text.h"

namespace morvatel::py {

namespace {

template <typename T>
struct AnchorObject {
  PyObject_HEAD
  T value;
};

template <typename T>
const T& anchor_of(PyObject* self) {
  return reinterpret_cast<AnchorObject<T>*>(self)->value;
}

template <typename T>
PyObject* wrap(PyTypeObject* type, T value) {
  if (type == nullptr) return nullptr;
  return reinterpret_cast<PyObject*>(new_object(type, &AnchorObject<T>::value, std::move(value)));
}

template <typename T>
std::optional<T> anchor_arg(PyObject* o, std::string_view name, PyTypeObject* type,
                            const char* class_name) {
  if (type == nullptr) return std::nullopt;
  if (!is_instance(o, type)) {
    wrong_type(o, class_name, name);
    return std::nullopt;
  }
  return anchor_of<T>(o);
}


PyTypeObject* g_wal_type = nullptr;
PyTypeObject* g_state_type = nullptr;

// --- ReceiptWal ---

PyObject* wal_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* const names[] = {"sequence", "entry_hash"};
    BoundArgs b;
    if (!bind_tuple(Signature{"ReceiptWal", names, 2, 2}, args, kwargs, b)) return nullptr;
    auto sequence = to_int<uint64_t>(b[0], "sequence");
    if (!sequence) return nullptr;
    auto entry_hash = to_str(b[1], "entry_hash");
    if (!entry_hash) return nullptr;
    if (*sequence == 0) {
      return raise_error(ErrorClass::ArtifactValidation, "sequence must be at least 1");
    }
    if (!validate_hex32("entry_hash", *entry_hash)) return nullptr;
    return wrap(type, ReceiptWal{*sequence, std::string(*entry_hash)});
  });
}

PyObject* wal_sequence(PyObject* self, void*) {
  return from_int(anchor_of<ReceiptWal>(self).sequence);
}
PyObject* wal_entry_hash(PyObject* self, void*) {
  return from_str(anchor_of<ReceiptWal>(self).entry_hash);
}

PyObject* wal_as_dict(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    const ReceiptWal& w = anchor_of<ReceiptWal>(self);
    Ref dict = Ref::steal(PyDict_New());
    if (!dict) return nullptr;
    bool ok = dict_put(dict.get(), "sequence", from_int(w.sequence)) &&
              dict_put(dict.get(), "entry_hash", from_str(w.entry_hash));
    return ok ? dict.release() : nullptr;
  });
}

PyGetSetDef kWalGetSet[] = {
    {"sequence", wal_sequence, nullptr, nullptr, nullptr},
    {"entry_hash", wal_entry_hash, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef kWalMethods[] = {
    {"as_dict", wal_as_dict, METH_NOARGS, "as_dict($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

// --- ReceiptState ---

PyObject* state_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* const names[] = {"step", "state_digest_before_hex",
                                        "state_digest_after_hex"};
    BoundArgs b;
    if (!bind_tuple(Signature{"ReceiptState", names, 3, 3}, args, kwargs, b)) return nullptr;
    auto step = to_int<uint64_t>(b[0], "step");
    if (!step) return nullptr;
    auto before = to_str(b[1], "state_digest_before_hex");
    if (!before) return nullptr;
    auto after = to_str(b[2], "state_digest_after_hex");
    if (!after) return nullptr;
    if (*step == 0) return raise_error(ErrorClass::ArtifactValidation, "step must be at least 1");
    if (!validate_hex32("state_digest_before_hex", *before) ||
        !validate_hex32("state_digest_after_hex", *after)) {
      return nullptr;
    }
    return wrap(type, ReceiptState{*step, std::string(*before), std::string(*after)});
  });
}

PyObject* state_from_transition(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static const char* const names[] = {"transition"};
    BoundArgs b;
    if (!bind_fast(Signature{"from_transition", names, 1, 1}, args, nargs, kwnames, b)) {
      return nullptr;
    }
    auto transition = transition_arg(b[0], "transition");
    if (!transition) return nullptr;
    return wrap_receipt_state(receipt_state_from_transition(*transition));
  });
}

PyObject* state_step(PyObject* self, void*) { return from_int(anchor_of<ReceiptState>(self).step); }
PyObject* state_before(PyObject* self, void*) {
  return from_str(anchor_of<ReceiptState>(self).state_digest_before_hex);
}
PyObject* state_after(PyObject* self, void*) {
  return from_str(anchor_of<ReceiptState>(self).state_digest_after_hex);
}

PyObject* state_as_dict(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    const ReceiptState& s = anchor_of<ReceiptState>(self);
    Ref dict = Ref::steal(PyDict_New());
    if (!dict) return nullptr;
    bool ok = dict_put(dict.get(), "step", from_int(s.step)) &&
              dict_put(dict.get(), "state_digest_before_hex",
                       from_str(s.state_digest_before_hex)) &&
              dict_put(dict.get(), "state_digest_after_hex", from_str(s.state_digest_after_hex));
    return ok ? dict.release() : nullptr;
  });
}

PyGetSetDef kStateGetSet[] = {
    {"step", state_step, nullptr, nullptr, nullptr},
    {"state_digest_before_hex", state_before, nullptr, nullptr, nullptr},
    {"state_digest_after_hex", state_after, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef kStateMethods[] = {
    {"from_transition", fastcall(state_from_transition), kFast | METH_STATIC,
     "from_transition(transition)\n--\n\n"},
    {"as_dict", state_as_dict, METH_NOARGS, "as_dict($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyTypeObject* receipt_wal_type() {
  if (g_wal_type != nullptr) return g_wal_type;
  ClassSpec spec{"morvatel._core.ReceiptWal",
                 "ReceiptWal(sequence, entry_hash)\n--\n\n",
                 static_cast<int>(sizeof(AnchorObject<ReceiptWal>)),
                 true,
                 {
                     {Py_tp_new, reinterpret_cast<void*>(wal_new)},
                     {Py_tp_dealloc,
                      reinterpret_cast<void*>(dealloc_object<AnchorObject<ReceiptWal>>)},
                     {Py_tp_getset, kWalGetSet},
                     {Py_tp_methods, kWalMethods},
                 }};
  return cached_class(g_wal_type, spec);
}

PyTypeObject* receipt_state_type() {
  if (g_state_type != nullptr) return g_state_type;
  ClassSpec spec{"morvatel._core.ReceiptState",
                 "ReceiptState(step, state_digest_before_hex, state_digest_after_hex)\n--\n\n",
                 static_cast<int>(sizeof(AnchorObject<ReceiptState>)),
                 true,
                 {
                     {Py_tp_new, reinterpret_cast<void*>(state_new)},
                     {Py_tp_dealloc,
                      reinterpret_cast<void*>(dealloc_object<AnchorObject<ReceiptState>>)},
                     {Py_tp_getset, kStateGetSet},
                     {Py_tp_methods, kStateMethods},
                 }};
  return cached_class(g_state_type, spec);
}

PyObject* wrap_receipt_wal(const ReceiptWal& wal) { return wrap(receipt_wal_type(), wal); }
PyObject* wrap_receipt_state(const ReceiptState& state) {
  return wrap(receipt_state_type(), state);
}

std::optional<ReceiptWal> receipt_wal_arg(PyObject* o, std::string_view name) {
  return anchor_arg<ReceiptWal>(o, name, receipt_wal_type(), "ReceiptWal");
}

std::optional<ReceiptState> receipt_state_arg(PyObject* o, std::string_view name) {
  return anchor_arg<ReceiptState>(o, name, receipt_state_type(), "ReceiptState");
}

}  // namespace morvatel::py
