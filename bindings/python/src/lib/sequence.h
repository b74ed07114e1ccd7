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
// the argument itself). Empty on the first failure.
template <typename T, typename Element>
std::optional<std::vector<T>> sequence_arg(PyObject* o, std::string_view name, Element&& element) {
  Py_ssize_t hint = 0;
  if (!detail::check_sequence(o, name, &hint)) return std::nullopt;
  Ref iter = Ref::steal(PyObject_GetIter(o));
  if (!iter) return std::nullopt;
  std::vector<T> out;
  out.reserve(static_cast<size_t>(hint));
  while (true) {
    Ref item = Ref::steal(PyIter_Next(iter.get()));
    if (!item) {
      if (PyErr_Occurred() != nullptr) return std::nullopt;
      break;
    }
    std::optional<T> value = element(item.get());
    if (!value) return std::nullopt;
    out.push_back(*value);
  }
  return out;
}

}  // namespace morvatel::py

#endif  // MORVATEL_PY_SEQUENCE_H_
