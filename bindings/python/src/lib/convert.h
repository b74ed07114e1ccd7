#ifndef MORVATEL_PY_CONVERT_H_
#define MORVATEL_PY_CONVERT_H_

// Conversions between Python objects and the core's fixed-width integers.
// Every conversion failure carries the note "while processing '<name>'".

#include <concepts>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>

#include "lib/errors.h"
#include "lib/py.h"

namespace morvatel::py {

namespace detail {
// Reads any int (or object with __index__) as unsigned or signed 64-bit.
// TypeError for a non-integer, OverflowError for out of range; no note.
bool read_u64(PyObject* o, uint64_t* out);
bool read_i64(PyObject* o, int64_t* out);
std::nullptr_t narrow_overflow();
}  // namespace detail

// Converts `o` to the integer type T (unsigned of 8 to 64 bits, or signed
// 64-bit). On failure the exception is set, noted with `name`, and the
// result is empty.
template <std::integral T>
std::optional<T> to_int(PyObject* o, std::string_view name) {
  bool ok;
  T result{};
  if constexpr (std::is_signed_v<T>) {
    static_assert(sizeof(T) == 8, "only signed 64-bit fields exist");
    int64_t v;
    ok = detail::read_i64(o, &v);
    result = v;
  } else {
    uint64_t v;
    ok = detail::read_u64(o, &v);
    if (ok && v > std::numeric_limits<T>::max()) {
      detail::narrow_overflow();
      ok = false;
    }
    result = static_cast<T>(v);
  }
  if (!ok) {
    note_processing(name);
    return std::nullopt;
  }
  return result;
}

// New Python int from a core integer.
inline PyObject* from_int(uint64_t v) { return PyLong_FromUnsignedLongLong(v); }
inline PyObject* from_int(uint32_t v) { return PyLong_FromUnsignedLong(v); }
inline PyObject* from_int(uint16_t v) { return PyLong_FromLong(v); }
inline PyObject* from_int(uint8_t v) { return PyLong_FromLong(v); }
inline PyObject* from_int(int64_t v) { return PyLong_FromLongLong(v); }
inline PyObject* from_int(int v) { return PyLong_FromLong(v); }
PyObject* from_int(unsigned __int128 v);
PyObject* from_int(__int128 v);

PyObject* from_str(std::string_view s);
PyObject* from_bool(bool b);

// A new reference to None.
inline PyObject* none() { Py_RETURN_NONE; }

// None for an absent core value, else the value converted as from_bool,
// from_str or from_int would convert it.
template <typename T>
PyObject* from_optional(const std::optional<T>& v) {
  if (!v) return none();
  if constexpr (std::is_same_v<T, bool>) {
    return from_bool(*v);
  } else if constexpr (std::is_convertible_v<const T&, std::string_view>) {
    return from_str(*v);
  } else {
    return from_int(*v);
  }
}

// Stores `value` (a new reference, consumed) under `key` in `dict`. False
// with an exception set, also when `value` or `key` is null because making
// it failed.
bool dict_put(PyObject* dict, const char* key, PyObject* value);
bool dict_put(PyObject* dict, PyObject* key, PyObject* value);

// Reads a str argument as UTF-8; TypeError naming the argument otherwise.
std::optional<std::string_view> to_str(PyObject* o, std::string_view name);

// Reads a bytes argument; TypeError naming the argument otherwise.
std::optional<std::string_view> to_bytes(PyObject* o, std::string_view name);

}  // namespace morvatel::py

#endif  // MORVATEL_PY_CONVERT_H_
