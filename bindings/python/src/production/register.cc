// The production layer's registration: the exception hierarchy, then the
// production classes, then the module functions.

#include "lib/module.h"
#include "production/exceptions.h"

namespace morvatel::py {

bool register_production(PyObject* module) {
  for (ErrorClass c : kAllErrorClasses) {
    PyObject* cls = exception_class(c);
    if (cls == nullptr) return false;
    Py_INCREF(cls);
    if (!add_name(module, exception_name(c), cls)) return false;
  }
  return true;
}

}  // namespace morvatel::py
