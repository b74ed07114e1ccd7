#ifndef MORVATEL_PY_MODULE_H_
#define MORVATEL_PY_MODULE_H_

#include <string_view>

#include "lib/py.h"

namespace morvatel::py {

// Adds one public name: appends it to the module's __all__ (creating the
// list on first use), then sets the attribute. Steals `value`; a null
// `value` (a failed creation) fails the add. False with an exception set on
// failure.
bool add_name(PyObject* module, const char* name, PyObject* value);

// Adds a class (borrowed type, null on a failed creation) under its name.
bool add_class(PyObject* module, const char* name, PyTypeObject* type);

// The production layer's registration: exceptions, production classes and
// module functions, in their published order.
bool register_production(PyObject* module);

}  // namespace morvatel::py

#endif  // MORVATEL_PY_MODULE_H_
