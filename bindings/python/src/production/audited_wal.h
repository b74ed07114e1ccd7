#ifndef MORVATEL_PY_PRODUCTION_AUDITED_WAL_H_
#define MORVATEL_PY_PRODUCTION_AUDITED_WAL_H_

// The Python classes AuditedWal (one log writer, usable only from the
// thread that made it) and WalEntry (the result of an append).

#include "lib/py.h"

namespace morvatel::py {

// The classes (borrowed; created on first use; null with an exception set
// if creation fails).
PyTypeObject* audited_wal_type();
PyTypeObject* wal_entry_type();

}  // namespace morvatel::py

#endif  // MORVATEL_PY_PRODUCTION_AUDITED_WAL_H_
