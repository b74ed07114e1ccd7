#include "production/wal_anchor.h"


#include "lib/args.h"
#include "lib/convert.h"
#include "lib/errors.h"
#include "lib/gil.h"
#include "lib/types.h"
#include "production/artifacts.h"
#include "production/json_errors.h"
#include "production/path_args.h"
#include "production/persistence_errors.h"
#include "text.h"

namespace morvatel::py {

namespace {

struct AnchorObject {
  PyObject_HEAD
  wal::WalAnchor anchor;
};

PyTypeObject* g_type = nullptr;

const wal::WalAnchor& anchor_of(PyObject* self) {
  return reinterpret_cast<AnchorObject*>(self)->anchor;
}


PyObject* get_schema_version(PyObject* self, void*) {
  return from_str(anchor_of(self).schema_version);
}
PyObject* get_sequence(PyObject* self, void*) { return from_int(anchor_of(self).sequence); }
PyObject* get_last_hash(PyObject* self, void*) { return from_str(anchor_of(self).last_hash); }
PyObject* get_keyed(PyObject* self, void*) { return from_bool(anchor_of(self).keyed); }

PyGetSetDef kGetSet[] = {
    {"schema_version", get_schema_version, nullptr, nullptr, nullptr},
    {"sequence", get_sequence, nullptr, nullptr, nullptr},
    {"last_hash", get_last_hash, nullptr, nullptr, nullptr},
    {"keyed", get_keyed, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyObject* repr(PyObject* self) {
  return guarded([&]() -> PyObject* {
    const wal::WalAnchor& a = anchor_of(self);
    return from_str(str_cat("WalAnchor(sequence=", a.sequence,
                            ", keyed=", a.keyed ? "true" : "false", ", last_hash='",
                            preview(a.last_hash), "...')"));
  });
}

PyObject* as_dict(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    const wal::WalAnchor& a = anchor_of(self);
    json::Object o;
    o.set("schema_version", json::Value(a.schema_version));
    o.set("sequence", json::Value(a.sequence));
    o.set("last_hash", json::Value(a.last_hash));
    o.set("keyed", json::Value(a.keyed));
    return json_value_to_dict(json::Value(std::move(o)));
  });
}

PyObject* save(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static const char* const names[] = {"path"};
    static const Signature sig{"save", names, 1, 1};
    BoundArgs b;
    if (!bind_fast(sig, args, nargs, kwnames, b)) return nullptr;
    auto path = path_arg(b[0], "path");
    if (!path) return nullptr;
    // Another saver of the same file may hold the sibling lock for as long
    // as it likes; other threads run meanwhile, and Ctrl-C ends the wait.
    PythonBlockingHook hook;
    auto r = wal::save_anchor(*path, anchor_of(self), &hook);
    if (!r) {
      if (hook.exception_pending()) return nullptr;
      return persistence_error(std::move(r.error()));
    }
    Py_RETURN_NONE;
  });
}

PyObject* load(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static const char* const names[] = {"path"};
    static const Signature sig{"load", names, 1, 1};
    BoundArgs b;
    if (!bind_fast(sig, args, nargs, kwnames, b)) return nullptr;
    auto path = path_arg(b[0], "path");
    if (!path) return nullptr;
    auto anchor = wal::load_anchor(*path);
    if (!anchor) return persistence_error(std::move(anchor.error()));
    return wrap_anchor(*anchor);
  });
}


PyMethodDef kMethods[] = {
    {"as_dict", as_dict, METH_NOARGS, "as_dict($self)\n--\n\n"},
    {"save", fastcall(save), kFast, "save($self, path)\n--\n\n"},
    {"load", fastcall(load), kFast | METH_STATIC, "load(path)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyTypeObject* wal_anchor_type() {
  if (g_type != nullptr) return g_type;
  ClassSpec spec{"morvatel._core.WalAnchor",
                 nullptr,
                 static_cast<int>(sizeof(AnchorObject)),
                 false,
                 {
                     {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_object<AnchorObject>)},
                     {Py_tp_repr, reinterpret_cast<void*>(repr)},
                     {Py_tp_getset, kGetSet},
                     {Py_tp_methods, kMethods},
                 }};
  return cached_class(g_type, spec);
}

PyObject* wrap_anchor(const wal::WalAnchor& anchor) {
  PyTypeObject* type = wal_anchor_type();
  if (type == nullptr) return nullptr;
  return reinterpret_cast<PyObject*>(new_object(type, &AnchorObject::anchor, anchor));
}

const wal::WalAnchor* anchor_arg(PyObject* o, std::string_view name) {
  PyTypeObject* type = wal_anchor_type();
  if (type == nullptr) return nullptr;
  if (!is_instance(o, type)) {
    wrong_type(o, "WalAnchor", name);
    return nullptr;
  }
  return &anchor_of(o);
}

}  // namespace morvatel::py
