// The production layer's registration: the exception hierarchy, then the
// production classes, then the module functions.

#include "lib/module.h"
#include "production/exceptions.h"
#include "production/signed_policy.h"

namespace morvatel::py {

bool register_production(PyObject* module) {
  for (ErrorClass c : kAllErrorClasses) {
    PyObject* cls = exception_class(c);
    if (cls == nullptr) return false;
    Py_INCREF(cls);
    if (!add_name(module, exception_name(c), cls)) return false;
  }
  if (!add_class(module, "SignedPolicy", signed_policy_type())) return false;
  if (!add_name(module, "public_key_from_signing_key", new_public_key_from_signing_key(module))) {
    return false;
  }
  return true;
}

}  // namespace morvatel::py
