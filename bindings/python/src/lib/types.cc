#include "lib/types.h"

#include <vector>

namespace morvatel::py {

PyTypeObject* cached_class(PyTypeObject*& cache, const ClassSpec& spec) {
  if (cache != nullptr) return cache;
  std::vector<PyType_Slot> slots(spec.slots);
  if (spec.doc != nullptr) slots.push_back({Py_tp_doc, const_cast<char*>(spec.doc)});
  slots.push_back({0, nullptr});
  unsigned int flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE;
  if (!spec.constructible) flags |= Py_TPFLAGS_DISALLOW_INSTANTIATION;
  PyType_Spec type_spec = {spec.qualified_name, spec.basicsize, 0, flags, slots.data()};
  PyObject* type = PyType_FromSpec(&type_spec);
  if (type == nullptr) return nullptr;
  // Creation can run interpreter code and let another thread create the
  // class too; the first one cached is the one everybody uses.
  if (cache != nullptr) {
    Py_DECREF(type);
    return cache;
  }
  cache = reinterpret_cast<PyTypeObject*>(type);
  return cache;
}

}  // namespace morvatel::py
