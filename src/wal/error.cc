#include "wal/error.h"

#include "text.h"

namespace morvatel::wal {

std::string WalError::message() const {
  switch (kind()) {
    case Kind::Io: return str_cat("WAL I/O error: ", io_error().message());
    case Kind::Json: return str_cat("WAL JSON error: ", json_error().message());
    case Kind::ChainBroken: {
      const auto& e = chain_broken();
      return str_cat("WAL chain broken at sequence ", e.sequence, ": expected ", e.expected,
                     ", found ", e.found);
    }
    case Kind::SequenceContinuity:
      return str_cat("WAL sequence continuity violation: found ", sequence_continuity().found);
    case Kind::AuditFailed: {
      const auto& e = audit_failed();
      return str_cat("WAL audit failed at sequence ", e.sequence, ": ", e.reason);
    }
  }
  return {};
}

}  // namespace morvatel::wal
