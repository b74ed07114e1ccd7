#ifndef MORVATEL_PY_TYPES_H_
#define MORVATEL_PY_TYPES_H_

// Creating the module's classes from type-spec tables. Every class is a heap
// type created once per process and kept for its life: it cannot be
// subclassed, has no instance dict, and its __module__ is "morvatel._core".

#include <initializer_list>
#include <new>
#include <utility>

#include "lib/py.h"

namespace morvatel::py {

struct ClassSpec {
  const char* qualified_name;  // "morvatel._core.Name"
  const char* doc;             // "Name(sig)\n--\n\ntext", or nullptr
  int basicsize;
  bool constructible;  // false: calling the class raises TypeError
  std::initializer_list<PyType_Slot> slots;  // without the terminator
};

// Returns the class made from `spec` the first time `cache` is null, and the
// cached class afterwards (a borrowed reference). Null with an exception set
// if the interpreter refuses to make it.
PyTypeObject* cached_class(PyTypeObject*& cache, const ClassSpec& spec);

// True if `o` is an instance of exactly `type` (the classes are final).
inline bool is_instance(PyObject* o, PyTypeObject* type) { return Py_TYPE(o) == type; }

// A new object of one of the module's classes, which hold no Python
// references of their own and so are not tracked by the cyclic GC. Its C++
// member `member` is built from `args` in place; when building it throws,
// the object is given back without running tp_dealloc (which would destroy
// a member that never existed) and the exception goes on to the caller's
// guard.
template <typename Obj, typename T, typename... Args>
Obj* new_object(PyTypeObject* type, T Obj::* member, Args&&... args) {
  Obj* obj = PyObject_New(Obj, type);
  if (obj == nullptr) return nullptr;
  try {
    new (&(obj->*member)) T(std::forward<Args>(args)...);
  } catch (...) {
    PyObject_Free(obj);
    Py_DECREF(type);  // the object's reference to its heap type
    throw;
  }
  return obj;
}

// tp_dealloc for an object whose C++ members need destruction.
template <typename Obj>
void dealloc_object(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  reinterpret_cast<Obj*>(self)->~Obj();
  PyObject_Free(self);
  Py_DECREF(type);
}

}  // namespace morvatel::py

#endif  // MORVATEL_PY_TYPES_H_
