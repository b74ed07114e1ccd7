#ifndef MORVATEL_PY_DICT_KEYS_H_
#define MORVATEL_PY_DICT_KEYS_H_

// Dict keys made once and kept for the life of the process. Building a key
// from C text on every call (PyDict_SetItemString) makes and interns a new
// string each time, which costs more than the value it files on the hot
// result dicts. The module refuses sub-interpreters, so one process-wide
// string per key is shared by every call; the interpreter lock guards the
// first use.

#include "lib/py.h"

namespace morvatel::py {

// The interned key in `slot`, made on first use; borrowed. Null with an
// exception set only when making it fails, and then a later call retries.
inline PyObject* interned_key(PyObject*& slot, const char* text) {
  if (slot == nullptr) slot = PyUnicode_InternFromString(text);
  return slot;
}

}  // namespace morvatel::py

// The key for a string literal, one cached string per use site.
#define MORVATEL_KEY(text)                            \
  ([]() -> PyObject* {                                \
    static PyObject* cache = nullptr;                 \
    return ::morvatel::py::interned_key(cache, text); \
  }())

#endif  // MORVATEL_PY_DICT_KEYS_H_
