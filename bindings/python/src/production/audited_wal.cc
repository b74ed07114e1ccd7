#include "production/audited_wal.h"

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>

#include "json/record.h"
#include "kernel/records.h"
#include "lib/args.h"
#include "lib/convert.h"
#include "lib/errors.h"
#include "lib/kernel_records.h"
#include "lib/policy_snapshot.h"
#include "lib/types.h"
#include "production/artifacts.h"
#include "production/exceptions.h"
#include "production/json_errors.h"
#include "production/path_args.h"
#include "production/receipt_anchors.h"
#include "production/wal_anchor.h"
#include "production/wal_errors.h"
#include "text.h"
#include "wal/writer.h"

namespace morvatel::py {

namespace {

constexpr std::string_view kQualifiedName = "morvatel._core.AuditedWal";

struct AuditedWalObject {
  PyObject_HEAD
  std::optional<wal::WalWriter> writer;  // absent once closed
  uint64_t owner;                        // thread_token() of the creating thread
};

struct WalEntryObject {
  PyObject_HEAD
  wal::WalAppend entry;
};

PyTypeObject* g_wal_type = nullptr;
PyTypeObject* g_entry_type = nullptr;

AuditedWalObject& wal_of(PyObject* self) { return *reinterpret_cast<AuditedWalObject*>(self); }
const wal::WalAppend& entry_of(PyObject* self) {
  return reinterpret_cast<WalEntryObject*>(self)->entry;
}


// A number for the calling thread that no other thread of the process ever
// gets. The interpreter's thread ident will not do: it is reused as soon as
// a thread has ended, so a writer made on a finished thread would pass as
// belonging to whichever thread inherits the ident.
uint64_t thread_token() {
  static std::atomic<uint64_t> next{1};
  thread_local const uint64_t token = next.fetch_add(1, std::memory_order_relaxed);
  return token;
}

// A writer is bound to its thread: the object carries no mutex, and the
// owning-thread rule is what serialises all use of it.
bool on_owner_thread(PyObject* self) {
  if (thread_token() == wal_of(self).owner) return true;
  raise_panic(str_cat(kQualifiedName, " is unsendable, but sent to another thread"));
  return false;
}

std::nullptr_t closed_error() { return raise_error(ErrorClass::Wal, "WAL writer is closed"); }

// The open writer, or null with the closed error set.
wal::WalWriter* open_writer(PyObject* self) {
  auto& w = wal_of(self).writer;
  if (!w) return closed_error();
  return &*w;
}

// --- WalEntry ---

PyObject* wrap_entry(wal::WalAppend entry) {
  PyTypeObject* type = wal_entry_type();
  if (type == nullptr) return nullptr;
  return reinterpret_cast<PyObject*>(new_object(type, &WalEntryObject::entry, std::move(entry)));
}

PyObject* entry_sequence(PyObject* self, void*) { return from_int(entry_of(self).sequence); }
PyObject* entry_previous_hash(PyObject* self, void*) {
  return from_str(entry_of(self).previous_hash);
}
PyObject* entry_entry_hash(PyObject* self, void*) { return from_str(entry_of(self).entry_hash); }

PyGetSetDef kEntryGetSet[] = {
    {"sequence", entry_sequence, nullptr, nullptr, nullptr},
    {"previous_hash", entry_previous_hash, nullptr, nullptr, nullptr},
    {"entry_hash", entry_entry_hash, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyObject* entry_as_dict(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    const wal::WalAppend& e = entry_of(self);
    Ref dict = Ref::steal(PyDict_New());
    if (!dict) return nullptr;
    if (!dict_put(dict.get(), "sequence", from_int(e.sequence)) ||
        !dict_put(dict.get(), "previous_hash", from_str(e.previous_hash)) ||
        !dict_put(dict.get(), "entry_hash", from_str(e.entry_hash))) {
      return nullptr;
    }
    return dict.release();
  });
}

PyObject* entry_receipt_anchor(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    const wal::WalAppend& e = entry_of(self);
    return wrap_receipt_wal(ReceiptWal{e.sequence, e.entry_hash});
  });
}

PyMethodDef kEntryMethods[] = {
    {"as_dict", entry_as_dict, METH_NOARGS, "as_dict($self)\n--\n\n"},
    {"receipt_anchor", entry_receipt_anchor, METH_NOARGS, "receipt_anchor($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

// --- AuditedWal ---

PyObject* new_wal(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* const names[] = {"path", "hmac_key"};
    static const Signature sig{"AuditedWal", names, 1, 1};
    BoundArgs b;
    if (!bind_tuple(sig, args, kwargs, b)) return nullptr;
    auto path = path_arg(b[0], "path");
    if (!path) return nullptr;
    bool ok;
    auto bytes = hmac_key_arg(b[1], ok);
    if (!ok) return nullptr;
    std::optional<std::string> key;
    if (bytes) {
      if (!check_hmac_key(*bytes)) return nullptr;
      key.emplace(*bytes);
    }
    auto writer = wal::WalWriter::open(*path, *path, std::move(key));
    if (!writer) return wal_error(std::move(writer.error()));
    auto* obj = new_object(type, &AuditedWalObject::writer, std::move(*writer));
    if (obj == nullptr) return nullptr;
    obj->owner = thread_token();
    return reinterpret_cast<PyObject*>(obj);
  });
}

void dealloc_wal(PyObject* self) {
  AuditedWalObject& obj = wal_of(self);
  if (obj.writer && thread_token() != obj.owner) {
    // Closing here would run a writer on a thread it does not belong to;
    // its descriptors and lock are left to the end of the process.
    obj.writer->leak_descriptors();
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    guarded([]() -> PyObject* {
      return raise_panic(
          str_cat(kQualifiedName, " is unsendable, but is being dropped on another thread"));
    });
    PyErr_WriteUnraisable(nullptr);
    PyErr_Restore(type, value, tb);
  }
  dealloc_object<AuditedWalObject>(self);
}

PyObject* get_sequence(PyObject* self, void*) {
  return guarded([&]() -> PyObject* {
    if (!on_owner_thread(self)) return nullptr;
    wal::WalWriter* w = open_writer(self);
    return w == nullptr ? nullptr : from_int(w->sequence());
  });
}

PyObject* get_last_hash(PyObject* self, void*) {
  return guarded([&]() -> PyObject* {
    if (!on_owner_thread(self)) return nullptr;
    wal::WalWriter* w = open_writer(self);
    return w == nullptr ? nullptr : from_str(w->last_hash());
  });
}

PyGetSetDef kWalGetSet[] = {
    {"sequence", get_sequence, nullptr, nullptr, nullptr},
    {"entry_count", get_sequence, nullptr, nullptr, nullptr},
    {"last_hash", get_last_hash, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyObject* append_verified(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static const char* const names[] = {"snapshot", "input", "decision", "metadata_json"};
    static const Signature sig{"append_verified", names, 4, 4};
    BoundArgs b;
    if (!bind_fast(sig, args, nargs, kwnames, b)) return nullptr;
    if (!on_owner_thread(self)) return nullptr;
    auto d = snapshot_decision_args(b.slot);
    if (!d) return nullptr;
    auto text = to_str(b[3], "metadata_json");
    if (!text) return nullptr;

    auto metadata = json::parse_value(*text);
    if (!metadata) return invalid_value(std::move(metadata.error()));
    // Metadata the log's readers could not read back is refused here,
    // rather than written into a line that would stop every later reader.
    if (auto deep = wal::metadata_depth_error(*text)) return invalid_value(std::move(*deep));
    if (auto ok = validate_input(d->input); !ok) return value_error(ok.error().message());
    wal::WalWriter* w = open_writer(self);
    if (w == nullptr) return nullptr;
    auto entry = w->append_verified(*d->snapshot, d->input, d->decision, *metadata);
    if (!entry) return wal_error(std::move(entry.error()));
    return wrap_entry(std::move(*entry));
  });
}

PyObject* flush(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    if (!on_owner_thread(self)) return nullptr;
    wal::WalWriter* w = open_writer(self);
    if (w == nullptr) return nullptr;
    if (auto r = w->flush(); !r) return wal_error(std::move(r.error()));
    Py_RETURN_NONE;
  });
}

PyObject* sync(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    if (!on_owner_thread(self)) return nullptr;
    wal::WalWriter* w = open_writer(self);
    if (w == nullptr) return nullptr;
    if (auto r = w->sync(); !r) return wal_error(std::move(r.error()));
    Py_RETURN_NONE;
  });
}

PyObject* anchor(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    if (!on_owner_thread(self)) return nullptr;
    wal::WalWriter* w = open_writer(self);
    if (w == nullptr) return nullptr;
    return wrap_anchor(w->anchor());
  });
}

PyObject* close(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static const char* const names[] = {"sync"};
    static const Signature sig{"close", names, 0, 0};
    BoundArgs b;
    if (!bind_fast(sig, args, nargs, kwnames, b)) return nullptr;
    if (!on_owner_thread(self)) return nullptr;
    bool do_sync = true;
    if (b[0] != nullptr) {
      if (!PyBool_Check(b[0])) {
        wrong_type(b[0], "PyBool", "sync");
        return nullptr;
      }
      do_sync = b[0] == Py_True;
    }
    auto& slot = wal_of(self).writer;
    if (!slot) Py_RETURN_NONE;
    wal::WalWriter writer = std::move(*slot);
    slot.reset();
    if (auto r = wal::WalWriter::close(std::move(writer), do_sync); !r) {
      return wal_error(std::move(r.error()));
    }
    Py_RETURN_NONE;
  });
}

PyObject* repr(PyObject* self) {
  return guarded([&]() -> PyObject* {
    if (!on_owner_thread(self)) return nullptr;
    const auto& w = wal_of(self).writer;
    if (!w) return from_str("AuditedWal(closed=True)");
    return from_str(str_cat("AuditedWal(sequence=", w->sequence(),
                            ", keyed=", w->keyed() ? "true" : "false", ", last_hash='",
                            preview(w->last_hash()), "...')"));
  });
}


PyMethodDef kWalMethods[] = {
    {"append_verified", fastcall(append_verified), kFast,
     "append_verified($self, snapshot, input, decision, metadata_json)\n--\n\n"},
    {"flush", flush, METH_NOARGS, "flush($self)\n--\n\n"},
    {"sync", sync, METH_NOARGS, "sync($self)\n--\n\n"},
    {"flush_and_sync", sync, METH_NOARGS, "flush_and_sync($self)\n--\n\n"},
    {"anchor", anchor, METH_NOARGS, "anchor($self)\n--\n\n"},
    {"close", fastcall(close), kFast, "close($self, *, sync=True)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyTypeObject* audited_wal_type() {
  if (g_wal_type != nullptr) return g_wal_type;
  ClassSpec spec{"morvatel._core.AuditedWal",
                 "AuditedWal(path, *, hmac_key=None)\n--\n\n",
                 static_cast<int>(sizeof(AuditedWalObject)),
                 true,
                 {
                     {Py_tp_new, reinterpret_cast<void*>(new_wal)},
                     {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_wal)},
                     {Py_tp_repr, reinterpret_cast<void*>(repr)},
                     {Py_tp_getset, kWalGetSet},
                     {Py_tp_methods, kWalMethods},
                 }};
  return cached_class(g_wal_type, spec);
}

PyTypeObject* wal_entry_type() {
  if (g_entry_type != nullptr) return g_entry_type;
  ClassSpec spec{"morvatel._core.WalEntry",
                 nullptr,
                 static_cast<int>(sizeof(WalEntryObject)),
                 false,
                 {
                     {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_object<WalEntryObject>)},
                     {Py_tp_getset, kEntryGetSet},
                     {Py_tp_methods, kEntryMethods},
                 }};
  return cached_class(g_entry_type, spec);
}

}  // namespace morvatel::py
