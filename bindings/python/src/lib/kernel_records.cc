#include "lib/kernel_records.h"

#include <array>
#include <cstddef>
#include <cstring>
#include <vector>

#include "lib/args.h"
#include "lib/convert.h"
#include "lib/dict_keys.h"
#include "lib/errors.h"
#include "lib/types.h"
#include "text.h"

namespace morvatel::py {

namespace {

template <typename R>
struct RecordObject {
  PyObject_HEAD
  R rec;
  // The object is freed without a destructor (dealloc_record), which only a
  // trivially copyable record allows.
  static_assert(std::is_trivially_copyable_v<R>);
};

template <typename R>
R& rec_of(PyObject* self) {
  return reinterpret_cast<RecordObject<R>*>(self)->rec;
}

// One field of a record as the getters, setters and as_dict see it: where it
// lives in the record and how it converts.
enum class Kind : uint8_t { U8, U16, U32, U64, I64, Action, Reason };

struct Field {
  const char* name;
  size_t offset;
  Kind kind;
};

template <typename T>
constexpr Kind kind_of() {
  if constexpr (std::is_same_v<T, uint8_t>) return Kind::U8;
  if constexpr (std::is_same_v<T, uint16_t>) return Kind::U16;
  if constexpr (std::is_same_v<T, uint32_t>) return Kind::U32;
  if constexpr (std::is_same_v<T, uint64_t>) return Kind::U64;
  if constexpr (std::is_same_v<T, int64_t>) return Kind::I64;
  if constexpr (std::is_same_v<T, KernelAction>) return Kind::Action;
  if constexpr (std::is_same_v<T, KernelReason>) return Kind::Reason;
}

// The field table of a record, derived from its for_each_field so the order
// is written down once, in the core.
template <typename R, size_t N>
std::array<Field, N> field_table() {
  std::array<Field, N> table{};
  R probe{};
  size_t i = 0;
  for_each_field(probe, [&](const char* name, auto& field) {
    using T = std::remove_cvref_t<decltype(field)>;
    table[i++] = Field{name,
                       static_cast<size_t>(reinterpret_cast<char*>(&field) -
                                           reinterpret_cast<char*>(&probe)),
                       kind_of<T>()};
  });
  return table;
}

template <typename T>
T& at(void* rec, const Field& f) {
  return *reinterpret_cast<T*>(static_cast<char*>(rec) + f.offset);
}

PyObject* read_field(void* rec, const Field& f) {
  switch (f.kind) {
    case Kind::U8: return from_int(at<uint8_t>(rec, f));
    case Kind::U16: return from_int(at<uint16_t>(rec, f));
    case Kind::U32: return from_int(at<uint32_t>(rec, f));
    case Kind::U64: return from_int(at<uint64_t>(rec, f));
    case Kind::I64: return from_int(at<int64_t>(rec, f));
    case Kind::Action: return from_str(text(at<KernelAction>(rec, f)));
    case Kind::Reason: return from_str(text(at<KernelReason>(rec, f)));
  }
  return nullptr;
}

template <typename T>
bool store(void* rec, const Field& f, PyObject* value) {
  auto v = to_int<T>(value, f.name);
  if (!v) return false;
  at<T>(rec, f) = *v;
  return true;
}

// Converts and stores one integer field; the record is untouched on failure.
bool write_field(void* rec, const Field& f, PyObject* value) {
  switch (f.kind) {
    case Kind::U8: return store<uint8_t>(rec, f, value);
    case Kind::U16: return store<uint16_t>(rec, f, value);
    case Kind::U32: return store<uint32_t>(rec, f, value);
    case Kind::U64: return store<uint64_t>(rec, f, value);
    case Kind::I64: return store<int64_t>(rec, f, value);
    case Kind::Action:
    case Kind::Reason: break;
  }
  raise_panic("record field is not settable");
  return false;
}

// Everything the generic class code needs to know about one record type.
template <typename R>
struct Traits;

template <>
struct Traits<KernelInput> {
  static constexpr size_t kFields = kKernelInputFields;
  static constexpr const char* kQualifiedName = "morvatel._core.KernelInput";
  static constexpr const char* kDoc =
      "KernelInput(request_sequence, requested_model_id, input_tokens, output_tokens, "
      "business_value_microunits, budget_limit_microunits, risk_bps, confidence_bps, "
      "minimum_quality_bps, max_p95_latency_ms, required_capabilities, allowed_provider_mask, "
      "required_region_mask)\n--\n\n";
  static PyTypeObject* cache;
  static std::string repr(const KernelInput& r) {
    return str_cat("KernelInput(seq=", r.request_sequence, ", model=", r.requested_model_id,
                   ", tokens=", r.input_tokens, "/", r.output_tokens, ")");
  }
};
PyTypeObject* Traits<KernelInput>::cache = nullptr;

template <>
struct Traits<KernelModel> {
  static constexpr size_t kFields = kKernelModelFields;
  static constexpr const char* kQualifiedName = "morvatel._core.KernelModel";
  static constexpr const char* kDoc =
      "KernelModel(model_id, provider_id, quality_bps, risk_ceiling_bps, enabled, "
      "p95_latency_ms, capabilities, region_mask, input_cost_microunits_per_million_tokens, "
      "output_cost_microunits_per_million_tokens)\n--\n\n";
  static PyTypeObject* cache;
  static std::string repr(const KernelModel& r) {
    return str_cat("KernelModel(model_id=", r.model_id, ", provider_id=", r.provider_id,
                   ", quality_bps=", r.quality_bps, ", enabled=", r.enabled, ")");
  }
};
PyTypeObject* Traits<KernelModel>::cache = nullptr;

template <>
struct Traits<KernelDecision> {
  static constexpr size_t kFields = kKernelDecisionFields;
  static constexpr const char* kQualifiedName = "morvatel._core.KernelDecision";
  static constexpr const char* kDoc = nullptr;
  static PyTypeObject* cache;
  static std::string repr(const KernelDecision& r) {
    return str_cat("KernelDecision(seq=", r.request_sequence, ", action='", text(r.action),
                   "', model=", r.selected_model_id, ", reason='", text(r.reason), "')");
  }
};
PyTypeObject* Traits<KernelDecision>::cache = nullptr;

template <typename R>
const std::array<Field, Traits<R>::kFields>& fields() {
  static const auto table = field_table<R, Traits<R>::kFields>();
  return table;
}

// Interned key strings for as_dict, made once.
template <typename R>
PyObject* key_of(size_t i) {
  static std::array<PyObject*, Traits<R>::kFields> keys{};
  return interned_key(keys[i], fields<R>()[i].name);
}

template <typename R>
PyObject* get_field(PyObject* self, void* closure) {
  return read_field(&rec_of<R>(self), *static_cast<const Field*>(closure));
}

template <typename R>
int set_field(PyObject* self, PyObject* value, void* closure) {
  if (value == nullptr) return refuse_delete();
  return write_field(&rec_of<R>(self), *static_cast<const Field*>(closure), value) ? 0 : -1;
}

template <typename R>
PyObject* repr(PyObject* self) {
  return guarded([&]() -> PyObject* { return from_str(Traits<R>::repr(rec_of<R>(self))); });
}

template <typename R>
PyObject* richcompare(PyObject* self, PyObject* other, int op) {
  if (!is_instance(other, Py_TYPE(self)) || (op != Py_EQ && op != Py_NE)) {
    Py_RETURN_NOTIMPLEMENTED;
  }
  bool equal = rec_of<R>(self) == rec_of<R>(other);
  return from_bool(op == Py_EQ ? equal : !equal);
}

template <typename R>
PyObject* as_dict(PyObject* self, PyObject*) {
  Ref dict = Ref::steal(PyDict_New());
  if (!dict) return nullptr;
  R& rec = rec_of<R>(self);
  const auto& table = fields<R>();
  for (size_t i = 0; i < table.size(); ++i) {
    if (!dict_put(dict.get(), key_of<R>(i), read_field(&rec, table[i]))) return nullptr;
    if constexpr (std::is_same_v<R, KernelDecision>) {
      // The decision's dict carries each code right after its text.
      if (table[i].kind == Kind::Action &&
          !dict_put(dict.get(), MORVATEL_KEY("action_code"), from_int(code(rec.action)))) {
        return nullptr;
      }
      if (table[i].kind == Kind::Reason &&
          !dict_put(dict.get(), MORVATEL_KEY("reason_code"), from_int(code(rec.reason)))) {
        return nullptr;
      }
    }
  }
  return dict.release();
}

// Getset table of the record's fields, plus `extra` entries, terminated.
template <typename R, bool kWritable>
PyGetSetDef* getset_table(std::initializer_list<PyGetSetDef> extra) {
  static std::vector<PyGetSetDef> table;  // referenced by the class forever
  if (!table.empty()) return table.data();
  for (const Field& f : fields<R>()) {
    table.push_back({f.name, get_field<R>, kWritable ? set_field<R> : nullptr, nullptr,
                     const_cast<Field*>(&f)});
    if constexpr (std::is_same_v<R, KernelDecision>) {
      // action_code / reason_code follow their text attribute.
      for (const PyGetSetDef& e : extra) {
        if ((f.kind == Kind::Action && std::strcmp(e.name, "action_code") == 0) ||
            (f.kind == Kind::Reason && std::strcmp(e.name, "reason_code") == 0)) {
          table.push_back(e);
        }
      }
    }
  }
  table.push_back({nullptr, nullptr, nullptr, nullptr, nullptr});
  return table.data();
}

// --- KernelInput and KernelModel: constructible, writable value records ---

template <typename R>
PyObject* new_record(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    const auto& table = fields<R>();
    static const auto sig = [] {
      static std::array<const char*, Traits<R>::kFields> names{};
      for (size_t i = 0; i < names.size(); ++i) names[i] = fields<R>()[i].name;
      return names;
    }();
    Signature signature{std::is_same_v<R, KernelInput> ? "KernelInput" : "KernelModel", sig,
                        sig.size(), sig.size()};
    BoundArgs bound;
    if (!bind_tuple(signature, args, kwargs, bound)) return nullptr;
    R rec{};
    for (size_t i = 0; i < table.size(); ++i) {
      if (!write_field(&rec, table[i], bound[i])) return nullptr;
    }
    if constexpr (std::is_same_v<R, KernelInput>) {
      if (auto ok = validate_input(rec); !ok) return value_error(ok.error().message());
    }
    return reinterpret_cast<PyObject*>(new_object(type, &RecordObject<R>::rec, rec));
  });
}

void dealloc_record(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_Free(self);
  Py_DECREF(type);
}

template <typename R>
PyTypeObject* value_record_type() {
  if (Traits<R>::cache != nullptr) return Traits<R>::cache;
  static PyMethodDef methods[] = {
      {"as_dict", as_dict<R>, METH_NOARGS, "as_dict($self)\n--\n\n"},
      {nullptr, nullptr, 0, nullptr},
  };
  ClassSpec spec{Traits<R>::kQualifiedName,
                 Traits<R>::kDoc,
                 static_cast<int>(sizeof(RecordObject<R>)),
                 true,
                 {
                     {Py_tp_new, reinterpret_cast<void*>(new_record<R>)},
                     {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_record)},
                     {Py_tp_repr, reinterpret_cast<void*>(repr<R>)},
                     {Py_tp_richcompare, reinterpret_cast<void*>(richcompare<R>)},
                     {Py_tp_hash, reinterpret_cast<void*>(PyObject_HashNotImplemented)},
                     {Py_tp_getset, getset_table<R, true>({})},
                     {Py_tp_methods, methods},
                 }};
  return cached_class(Traits<R>::cache, spec);
}

// --- KernelDecision: read-only, made only by the kernel ---

PyObject* decision_action_code(PyObject* self, void*) {
  return from_int(code(rec_of<KernelDecision>(self).action));
}
PyObject* decision_reason_code(PyObject* self, void*) {
  return from_int(code(rec_of<KernelDecision>(self).reason));
}

PyObject* is_executable(PyObject* self, PyObject*) {
  return from_bool(rec_of<KernelDecision>(self).action != KernelAction::Reject);
}
PyObject* is_rejected(PyObject* self, PyObject*) {
  return from_bool(rec_of<KernelDecision>(self).action == KernelAction::Reject);
}
PyObject* is_requested_execution(PyObject* self, PyObject*) {
  return from_bool(rec_of<KernelDecision>(self).action == KernelAction::ExecuteRequested);
}
PyObject* is_substitution(PyObject* self, PyObject*) {
  return from_bool(rec_of<KernelDecision>(self).action == KernelAction::Substitute);
}

PyMethodDef kDecisionMethods[] = {
    {"is_executable", is_executable, METH_NOARGS, "is_executable($self)\n--\n\n"},
    {"is_rejected", is_rejected, METH_NOARGS, "is_rejected($self)\n--\n\n"},
    {"is_requested_execution", is_requested_execution, METH_NOARGS,
     "is_requested_execution($self)\n--\n\n"},
    {"is_substitution", is_substitution, METH_NOARGS, "is_substitution($self)\n--\n\n"},
    {"as_dict", as_dict<KernelDecision>, METH_NOARGS, "as_dict($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

template <typename R>
std::optional<R> record_arg(PyObject* o, std::string_view name, PyTypeObject* type,
                            const char* class_name) {
  if (type == nullptr) return std::nullopt;
  if (!is_instance(o, type)) {
    wrong_type(o, class_name, name);
    return std::nullopt;
  }
  return rec_of<R>(o);
}

template <typename R>
PyObject* wrap(PyTypeObject* type, const R& rec) {
  if (type == nullptr) return nullptr;
  return reinterpret_cast<PyObject*>(new_object(type, &RecordObject<R>::rec, rec));
}

}  // namespace

PyTypeObject* kernel_input_type() { return value_record_type<KernelInput>(); }
PyTypeObject* kernel_model_type() { return value_record_type<KernelModel>(); }

PyTypeObject* kernel_decision_type() {
  using R = KernelDecision;
  if (Traits<R>::cache != nullptr) return Traits<R>::cache;
  ClassSpec spec{Traits<R>::kQualifiedName,
                 Traits<R>::kDoc,
                 static_cast<int>(sizeof(RecordObject<R>)),
                 false,
                 {
                     {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_record)},
                     {Py_tp_repr, reinterpret_cast<void*>(repr<R>)},
                     {Py_tp_richcompare, reinterpret_cast<void*>(richcompare<R>)},
                     {Py_tp_hash, reinterpret_cast<void*>(PyObject_HashNotImplemented)},
                     {Py_tp_getset,
                      getset_table<R, false>({
                          {"action_code", decision_action_code, nullptr, nullptr, nullptr},
                          {"reason_code", decision_reason_code, nullptr, nullptr, nullptr},
                      })},
                     {Py_tp_methods, kDecisionMethods},
                 }};
  return cached_class(Traits<R>::cache, spec);
}

std::optional<KernelInput> input_arg(PyObject* o, std::string_view name) {
  return record_arg<KernelInput>(o, name, kernel_input_type(), "KernelInput");
}

std::optional<KernelModel> model_arg(PyObject* o, std::string_view name) {
  return record_arg<KernelModel>(o, name, kernel_model_type(), "KernelModel");
}

std::optional<KernelDecision> decision_arg(PyObject* o, std::string_view name) {
  return record_arg<KernelDecision>(o, name, kernel_decision_type(), "KernelDecision");
}

std::optional<KernelInput> validated_input_arg(PyObject* o, std::string_view name) {
  auto input = input_arg(o, name);
  if (!input) return std::nullopt;
  if (auto ok = validate_input(*input); !ok) {
    value_error(ok.error().message());
    return std::nullopt;
  }
  return input;
}

const KernelModel& model_record(PyObject* o) { return rec_of<KernelModel>(o); }
const KernelInput& input_record(PyObject* o) { return rec_of<KernelInput>(o); }

PyObject* wrap_model(const KernelModel& m) { return wrap(kernel_model_type(), m); }
PyObject* wrap_decision(const KernelDecision& d) { return wrap(kernel_decision_type(), d); }

}  // namespace morvatel::py
