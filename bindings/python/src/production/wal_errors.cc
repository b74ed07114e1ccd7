#include "production/wal_errors.h"

#include "production/exceptions.h"

namespace morvatel::py {

std::nullptr_t wal_error(wal::WalError error) {
  return raise_error(ErrorClass::Wal, error.message());
}

}  // namespace morvatel::py
