#ifndef MORVATEL_PY_PRODUCTION_RECEIPT_ANCHORS_H_
#define MORVATEL_PY_PRODUCTION_RECEIPT_ANCHORS_H_

// The Python classes ReceiptWal and ReceiptState: immutable anchors that
// tie a receipt to a log entry and to a state transition.

#include <optional>
#include <string_view>

#include "lib/py.h"
#include "receipt.h"

namespace morvatel::py {

// The classes (borrowed; created on first use; null with an exception set
// if creation fails).
PyTypeObject* receipt_wal_type();
PyTypeObject* receipt_state_type();

// New objects holding copies of core anchors, unchecked (the constructors'
// checks are for values a caller types in; these come from the system or
// from a receipt's JSON form).
PyObject* wrap_receipt_wal(const ReceiptWal& wal);
PyObject* wrap_receipt_state(const ReceiptState& state);

// Copies of the anchor held by an argument; TypeError noted with `name`
// for anything else, None included.
std::optional<ReceiptWal> receipt_wal_arg(PyObject* o, std::string_view name);
std::optional<ReceiptState> receipt_state_arg(PyObject* o, std::string_view name);

}  // namespace morvatel::py

#endif  // MORVATEL_PY_PRODUCTION_RECEIPT_ANCHORS_H_
