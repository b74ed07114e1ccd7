#include "production/receipt_errors.h"

#include "production/exceptions.h"

namespace morvatel::py {

std::nullptr_t receipt_error(ReceiptError error) {
  return raise_error(ErrorClass::Receipt, error.message());
}

}  // namespace morvatel::py
