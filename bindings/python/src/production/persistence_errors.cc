#include "production/persistence_errors.h"

#include "production/exceptions.h"

namespace morvatel::py {

std::nullptr_t persistence_error(PersistenceError error) {
  return raise_error(ErrorClass::Persistence, error.message());
}

}  // namespace morvatel::py
