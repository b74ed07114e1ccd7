#ifndef MORVATEL_PY_PRODUCTION_RECEIPT_ERRORS_H_
#define MORVATEL_PY_PRODUCTION_RECEIPT_ERRORS_H_

// ReceiptError at the Python boundary: the exception ReceiptError with the
// kind's text.

#include <cstddef>

#include "receipt.h"

namespace morvatel::py {

// Raises; returns nullptr for `return receipt_error(...)`.
std::nullptr_t receipt_error(ReceiptError error);

}  // namespace morvatel::py

#endif  // MORVATEL_PY_PRODUCTION_RECEIPT_ERRORS_H_
