#ifndef MORVATEL_PY_SEQUENCE_H_
#define MORVATEL_PY_SEQUENCE_H_

// List arguments: any object passing the interpreter's sequence check,
// except a str (which is a sequence of characters and never what a caller
// meant), read once, element by element, into core values.

#include <optional>
#include <string_view>
#include <vector>

#include "lib/errors.h"
#include "lib/py.h"

namespace morvatel::py {

namespace detail {
// TypeError (noted with `name`) unless `o` is a sequence and not a str; on
// success the length hint for reserving, or 0 when it is unknown.
bool check_sequence(PyObject* o, std::string_view name, Py_ssize_t* length_hint);
}  // namespace detail

// Converts every element of the list argument `o` with `element(item)`,
// which returns std::optional<T> and sets an exception on failure (naming
// the argument itself), appending to `out`. False on the first failure.
template <typename T, typename Element>
bool sequence_into(PyObject* o, std::string_view name, std::vector<T>& out, Element&& element) {
  Py_ssize_t hint = 0;
  if (!detail::check_sequence(o, name, &hint)) return false;
  out.reserve(out.size() + static_cast<size_t>(hint));
  auto take = [&](PyObject* item) {
    std::optional<T> value = element(item);
    if (!value) return false;
    out.push_back(*value);
    return true;
  };
  // Lists and tuples are read by position, which is what their iterators
  // do, minus an iterator object and a call per element. The length is
  // read again each step in case a conversion runs code that shrinks it.
  if (PyList_CheckExact(o)) {
    for (Py_ssize_t i = 0; i < PyList_Size(o); ++i) {
      Ref item = Ref::borrow(PyList_GetItem(o, i));
      if (!take(item.get())) return false;
    }
    return true;
  }
  if (PyTuple_CheckExact(o)) {
    const Py_ssize_t n = PyTuple_Size(o);
    for (Py_ssize_t i = 0; i < n; ++i) {
      if (!take(PyTuple_GetItem(o, i))) return false;
    }
    return true;
  }
  Ref iter = Ref::steal(PyObject_GetIter(o));
  if (!iter) return false;
  while (true) {
    Ref item = Ref::steal(PyIter_Next(iter.get()));
    if (!item) return PyErr_Occurred() == nullptr;
    if (!take(item.get())) return false;
  }
}

// As sequence_into, into a new vector; empty on failure.
template <typename T, typename Element>
std::optional<std::vector<T>> sequence_arg(PyObject* o, std::string_view name, Element&& element) {
  std::vector<T> out;
  if (!sequence_into(o, name, out, element)) return std::nullopt;
  return out;
}

}  // namespace morvatel::py

#endif  // MORVATEL_PY_SEQUENCE_H_
