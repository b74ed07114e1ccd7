#ifndef MORVATEL_PY_ERRORS_H_
#define MORVATEL_PY_ERRORS_H_

// Raising Python exceptions from the binding layer, and the boundary that
// keeps C++ exceptions out of the interpreter.

#include <exception>
#include <new>
#include <string_view>
#include <type_traits>

#include "lib/py.h"

namespace morvatel::py {

// Sets `cls(message)` as the current exception; the instance has exactly one
// argument, the message. Returns nullptr so callers can `return raise(...)`.
std::nullptr_t raise(PyObject* cls, std::string_view message);

inline std::nullptr_t value_error(std::string_view m) { return raise(PyExc_ValueError, m); }
inline std::nullptr_t type_error(std::string_view m) { return raise(PyExc_TypeError, m); }

// The internal-failure exception: derived from BaseException so that neither
// `except Exception` nor `except MorvatelError` swallows a broken invariant.
// Created once per process on first use; null with an exception set if the
// interpreter refuses to make it.
PyObject* panic_exception_type();
std::nullptr_t raise_panic(std::string_view message);

// Adds the note "while processing '<name>'" to the exception currently set.
void note_processing(std::string_view name);

// TypeError "'<type of o>' object cannot be converted to '<expected>'",
// noted with the argument's or attribute's name.
std::nullptr_t wrong_type(PyObject* o, std::string_view expected, std::string_view name);

// The refusal of a property setter asked to delete: AttributeError
// "property has no deleter". Returns the setter's failure value.
int refuse_delete();

// Name of an object's type, for messages.
std::string type_name_of(PyObject* o);

// Runs `f` and turns any C++ exception escaping it into a Python exception,
// returning the failure value of the entry point's kind (nullptr or -1).
template <typename F>
auto guarded(F&& f) noexcept -> std::invoke_result_t<F> {
  using R = std::invoke_result_t<F>;
  auto failure = []() -> R {
    if constexpr (std::is_pointer_v<R>) {
      return nullptr;
    } else {
      return static_cast<R>(-1);
    }
  };
  try {
    return f();
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    raise_panic(e.what());
  } catch (...) {
    raise_panic("unknown internal failure");
  }
  return failure();
}

}  // namespace morvatel::py

#endif  // MORVATEL_PY_ERRORS_H_
