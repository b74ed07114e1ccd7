#ifndef MORVATEL_PY_PRODUCTION_WAL_ANCHOR_H_
#define MORVATEL_PY_PRODUCTION_WAL_ANCHOR_H_

// The Python class WalAnchor: an immutable log head, made by
// AuditedWal.anchor() and WalAnchor.load.

#include <string_view>

#include "lib/py.h"
#include "wal/anchor.h"

namespace morvatel::py {

// The class (borrowed; created on first use; null with an exception set if
// creation fails).
PyTypeObject* wal_anchor_type();

// A new WalAnchor holding a copy of `anchor`.
PyObject* wrap_anchor(const wal::WalAnchor& anchor);

// The anchor held by a WalAnchor argument; TypeError noted with `name` if
// `o` is of another type. Valid as long as the caller holds `o`.
const wal::WalAnchor* anchor_arg(PyObject* o, std::string_view name);

}  // namespace morvatel::py

#endif  // MORVATEL_PY_PRODUCTION_WAL_ANCHOR_H_
