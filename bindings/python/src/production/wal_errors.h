#ifndef MORVATEL_PY_PRODUCTION_WAL_ERRORS_H_
#define MORVATEL_PY_PRODUCTION_WAL_ERRORS_H_

// Audited-log errors at the Python boundary.

#include <cstddef>

#include "wal/error.h"

namespace morvatel::py {

// Raises the Python WalError with the error's message. Returns nullptr
// for `return wal_error(...)`.
std::nullptr_t wal_error(wal::WalError error);

}  // namespace morvatel::py

#endif  // MORVATEL_PY_PRODUCTION_WAL_ERRORS_H_
