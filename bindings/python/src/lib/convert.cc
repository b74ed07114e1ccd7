#include "lib/convert.h"

#include "lib/errors.h"
#include "text.h"

namespace morvatel::py {

namespace detail {

namespace {

// The interpreter's own integer protocol: ints pass through, objects with
// __index__ are converted, anything else (floats, str) is a TypeError.
Ref as_index(PyObject* o) {
  if (PyLong_Check(o)) return Ref::borrow(o);
  return Ref::steal(PyNumber_Index(o));
}

}  // namespace

bool read_u64(PyObject* o, uint64_t* out) {
  Ref i = as_index(o);
  if (!i) return false;
  unsigned long long v = PyLong_AsUnsignedLongLong(i.get());
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
  *out = v;
  return true;
}

bool read_i64(PyObject* o, int64_t* out) {
  Ref i = as_index(o);
  if (!i) return false;
  long long v = PyLong_AsLongLong(i.get());
  if (v == -1 && PyErr_Occurred()) return false;
  *out = v;
  return true;
}

std::nullptr_t narrow_overflow() {
  return raise(PyExc_OverflowError, "out of range integral type conversion attempted");
}

}  // namespace detail

PyObject* from_int(unsigned __int128 v) {
  if (v <= UINT64_MAX) return PyLong_FromUnsignedLongLong(static_cast<uint64_t>(v));
  // Rare: build from decimal text rather than hand-rolling limb arithmetic.
  std::string s = str_cat(v);
  return PyLong_FromString(s.c_str(), nullptr, 10);
}

PyObject* from_int(__int128 v) {
  if (v >= INT64_MIN && v <= INT64_MAX) return PyLong_FromLongLong(static_cast<int64_t>(v));
  std::string s = str_cat(v);
  return PyLong_FromString(s.c_str(), nullptr, 10);
}

PyObject* from_str(std::string_view s) {
  return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
}

PyObject* from_bool(bool b) { return PyBool_FromLong(b ? 1 : 0); }

bool dict_put(PyObject* dict, const char* key, PyObject* value) {
  if (value == nullptr) return false;
  int rc = PyDict_SetItemString(dict, key, value);
  Py_DECREF(value);
  return rc == 0;
}

bool dict_put(PyObject* dict, PyObject* key, PyObject* value) {
  if (key == nullptr || value == nullptr) {
    Py_XDECREF(value);
    return false;
  }
  int rc = PyDict_SetItem(dict, key, value);
  Py_DECREF(value);
  return rc == 0;
}

std::optional<std::string_view> to_str(PyObject* o, std::string_view name) {
  if (!PyUnicode_Check(o)) {
    wrong_type(o, "str", name);
    return std::nullopt;
  }
  Py_ssize_t len = 0;
  const char* s = PyUnicode_AsUTF8AndSize(o, &len);
  if (s == nullptr) {
    note_processing(name);
    return std::nullopt;
  }
  return std::string_view(s, static_cast<size_t>(len));
}

std::optional<std::string_view> to_bytes(PyObject* o, std::string_view name) {
  if (!PyBytes_Check(o)) {
    wrong_type(o, "PyBytes", name);
    return std::nullopt;
  }
  char* data = nullptr;
  Py_ssize_t len = 0;
  if (PyBytes_AsStringAndSize(o, &data, &len) < 0) return std::nullopt;
  return std::string_view(data, static_cast<size_t>(len));
}

}  // namespace morvatel::py
