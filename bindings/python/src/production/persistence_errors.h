#ifndef MORVATEL_PY_PRODUCTION_PERSISTENCE_ERRORS_H_
#define MORVATEL_PY_PRODUCTION_PERSISTENCE_ERRORS_H_

// PersistenceError values at the Python boundary.

#include <cstddef>

#include "persistence_error.h"

namespace morvatel::py {

// Raises the Python PersistenceError with the error's text ("I/O error: {}",
// "JSON error: {}" or "restore error: {}"). Returns nullptr for
// `return persistence_error(...)`.
std::nullptr_t persistence_error(PersistenceError error);

}  // namespace morvatel::py

#endif  // MORVATEL_PY_PRODUCTION_PERSISTENCE_ERRORS_H_
