#include "lib/args.h"

#include <string>

#include "lib/errors.h"
#include "text.h"

namespace morvatel::py {

namespace {

const char* name_at(const Signature& sig, size_t i) { return sig.names[i]; }

std::string fn(const Signature& sig) { return str_cat(sig.function, "()"); }

bool too_many_positional(const Signature& sig, Py_ssize_t given) {
  if (sig.positional == 0) {
    type_error(str_cat(fn(sig), " takes no positional arguments"));
  } else {
    type_error(str_cat(fn(sig), " takes at most ", sig.positional, " positional argument",
                       sig.positional == 1 ? "" : "s", " (", given, " given)"));
  }
  return false;
}

// Places one keyword argument; false with an exception set on a mistake.
bool place_keyword(const Signature& sig, PyObject* key, PyObject* value, BoundArgs& out) {
  if (!PyUnicode_Check(key)) {
    type_error(str_cat(fn(sig), " keywords must be strings"));
    return false;
  }
  for (size_t i = 0; i < sig.names.size(); ++i) {
    if (PyUnicode_CompareWithASCIIString(key, name_at(sig, i)) == 0) {
      if (out.slot[i] != nullptr) {
        type_error(str_cat(fn(sig), " got multiple values for argument '", name_at(sig, i), "'"));
        return false;
      }
      out.slot[i] = value;
      return true;
    }
  }
  const char* k = PyUnicode_AsUTF8AndSize(key, nullptr);
  if (k == nullptr) return false;
  type_error(str_cat(fn(sig), " got an unexpected keyword argument '", k, "'"));
  return false;
}

bool check_required(const Signature& sig, const BoundArgs& out) {
  for (size_t i = 0; i < sig.required; ++i) {
    if (out.slot[i] != nullptr) continue;
    if (i < sig.positional) {
      type_error(
          str_cat(fn(sig), " missing required argument '", name_at(sig, i), "' (pos ", i + 1, ")"));
    } else {
      type_error(
          str_cat(fn(sig), " missing required keyword-only argument '", name_at(sig, i), "'"));
    }
    return false;
  }
  return true;
}

}  // namespace

bool bind_fast(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
               BoundArgs& out) {
  if (static_cast<size_t>(nargs) > sig.positional) return too_many_positional(sig, nargs);
  for (Py_ssize_t i = 0; i < nargs; ++i) out.slot[i] = args[i];
  if (kwnames != nullptr) {
    Py_ssize_t nkw = PyTuple_Size(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
      if (!place_keyword(sig, PyTuple_GetItem(kwnames, k), args[nargs + k], out)) return false;
    }
  }
  return check_required(sig, out);
}

bool bind_tuple(const Signature& sig, PyObject* args, PyObject* kwargs, BoundArgs& out) {
  Py_ssize_t nargs = args != nullptr ? PyTuple_Size(args) : 0;
  if (nargs < 0) return false;
  if (static_cast<size_t>(nargs) > sig.positional) return too_many_positional(sig, nargs);
  for (Py_ssize_t i = 0; i < nargs; ++i) out.slot[i] = PyTuple_GetItem(args, i);
  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      if (!place_keyword(sig, key, value, out)) return false;
    }
  }
  return check_required(sig, out);
}

}  // namespace morvatel::py
