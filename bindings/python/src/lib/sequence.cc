#include "lib/sequence.h"

#include <algorithm>
#include <string>

#include "text.h"

namespace morvatel::py {

namespace {

constexpr Py_ssize_t kUntrustedLengthHint = 65536;

// The name of the expected type for the refusal of a non-sequence, taken
// from collections.abc.Sequence; looked up only when a refusal is raised.
std::string sequence_type_name() {
  Ref abc = Ref::steal(PyImport_ImportModule("collections.abc"));
  Ref cls = abc ? Ref::steal(PyObject_GetAttrString(abc.get(), "Sequence")) : Ref();
  Ref name = cls ? Ref::steal(PyObject_GetAttrString(cls.get(), "__name__")) : Ref();
  const char* text = name ? PyUnicode_AsUTF8AndSize(name.get(), nullptr) : nullptr;
  if (text == nullptr) {
    PyErr_Clear();
    return "Sequence";
  }
  return text;
}

}  // namespace

namespace detail {

bool check_sequence(PyObject* o, std::string_view name, Py_ssize_t* length_hint) {
  if (PyUnicode_Check(o)) {
    type_error("Can't extract `str` to `Vec`");
    note_processing(name);
    return false;
  }
  if (!PySequence_Check(o)) {
    std::string expected = sequence_type_name();
    wrong_type(o, expected, name);
    return false;
  }
  Py_ssize_t n = PySequence_Size(o);
  if (n < 0) {
    // A sequence without a length is still iterated; the hint only saves
    // reallocations.
    PyErr_Clear();
    n = 0;
  }
  // A list or tuple knows its length; any other sequence's __len__ is only
  // a claim, and reserving what a lying one claims would fail the call (or
  // take the memory) before a single element was read.
  if (!PyList_CheckExact(o) && !PyTuple_CheckExact(o)) n = std::min(n, kUntrustedLengthHint);
  *length_hint = n;
  return true;
}

}  // namespace detail

}  // namespace morvatel::py
