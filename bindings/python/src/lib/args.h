#ifndef MORVATEL_PY_ARGS_H_
#define MORVATEL_PY_ARGS_H_

// Argument binding by position or keyword, as a published signature says,
// with the interpreter's usual TypeError messages for binding mistakes.

#include <array>
#include <cstddef>
#include <span>
#include <string_view>

#include "lib/py.h"

namespace morvatel::py {

inline constexpr size_t kMaxParams = 16;

// The names come as an array of known length, so that a signature with
// more parameters than BoundArgs has slots does not compile.
struct Signature {
  // A function without parameters.
  explicit constexpr Signature(const char* function)
      : function(function), names(), positional(0), required(0) {}
  template <size_t N>
  constexpr Signature(const char* function, const char* const (&names)[N], size_t positional,
                      size_t required)
      : Signature(function, std::span<const char* const, N>(names), positional, required) {}
  template <size_t N>
  constexpr Signature(const char* function, const std::array<const char*, N>& names,
                      size_t positional, size_t required)
      : Signature(function, std::span<const char* const, N>(names), positional, required) {}

  const char* function;  // for messages: "prescribe" gives "prescribe()"
  std::span<const char* const> names;  // every parameter, in order
  size_t positional;  // how many leading names may be given by position
  size_t required;    // how many leading names must be given at all

 private:
  template <size_t N>
  constexpr Signature(const char* function, std::span<const char* const, N> names,
                      size_t positional, size_t required)
      : function(function), names(names), positional(positional), required(required) {
    static_assert(N <= kMaxParams, "more parameters than BoundArgs has slots");
  }
};

// Borrowed references to the bound arguments, in parameter order; an
// optional parameter that was not given is null.
struct BoundArgs {
  PyObject* slot[kMaxParams] = {};
  PyObject* operator[](size_t i) const { return slot[i]; }
};

// Method-table flags and function cast for METH_FASTCALL | METH_KEYWORDS
// entry points, which every method with arguments uses.
inline constexpr int kFast = METH_FASTCALL | METH_KEYWORDS;

template <typename F>
PyCFunction fastcall(F* f) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

// For METH_FASTCALL | METH_KEYWORDS entry points.
bool bind_fast(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
               BoundArgs& out);

// For tp_new and METH_VARARGS | METH_KEYWORDS entry points.
bool bind_tuple(const Signature& sig, PyObject* args, PyObject* kwargs, BoundArgs& out);

// bind_fast for a method whose parameters are all positional-or-keyword and
// all required.
template <size_t N>
bool bind(const char* function, const std::array<const char*, N>& names, PyObject* const* args,
          Py_ssize_t nargs, PyObject* kwnames, BoundArgs& out) {
  return bind_fast(Signature{function, names, N, N}, args, nargs, kwnames, out);
}

}  // namespace morvatel::py

#endif  // MORVATEL_PY_ARGS_H_
