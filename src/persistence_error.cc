#include "persistence_error.h"

#include "text.h"

namespace morvatel {

std::string PersistenceError::message() const {
  switch (kind()) {
    case Kind::Io: return str_cat("I/O error: ", io_error().message());
    case Kind::Json: return str_cat("JSON error: ", json_error().message());
    case Kind::Restore: return str_cat("restore error: ", restore_error().message());
  }
  return {};
}

}  // namespace morvatel
