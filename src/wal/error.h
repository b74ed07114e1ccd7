#ifndef MORVATEL_WAL_ERROR_H_
#define MORVATEL_WAL_ERROR_H_

// The error of everything in the audited log: five kinds, each owning its
// message. An I/O error made by the log itself carries a kind that the
// text does not show (InvalidInput for the key length and the record size,
// InvalidData for the line size and sequence overflow, WouldBlock and
// NotFound for the writer lock, Other for a poisoned writer).

#include <cstdint>
#include <string>
#include <variant>

#include "io_error.h"
#include "json/error.h"

namespace morvatel::wal {

struct ChainBroken {
  uint64_t sequence;
  std::string expected;
  std::string found;
};

struct SequenceContinuity {
  uint64_t found;
};

struct AuditFailed {
  uint64_t sequence;
  std::string reason;
};

class WalError {
 public:
  enum class Kind : uint8_t { Io, Json, ChainBroken, SequenceContinuity, AuditFailed };

  static WalError io(IoError e) { return WalError(std::move(e)); }
  static WalError json(json::Error e) { return WalError(std::move(e)); }
  static WalError chain_broken(uint64_t sequence, std::string expected, std::string found) {
    return WalError(ChainBroken{sequence, std::move(expected), std::move(found)});
  }
  static WalError sequence_continuity(uint64_t found) {
    return WalError(SequenceContinuity{found});
  }
  static WalError audit_failed(uint64_t sequence, std::string reason) {
    return WalError(AuditFailed{sequence, std::move(reason)});
  }

  Kind kind() const { return static_cast<Kind>(value_.index()); }
  const IoError& io_error() const { return std::get<IoError>(value_); }
  const json::Error& json_error() const { return std::get<json::Error>(value_); }
  const ChainBroken& chain_broken() const { return std::get<ChainBroken>(value_); }
  const SequenceContinuity& sequence_continuity() const {
    return std::get<SequenceContinuity>(value_);
  }
  const AuditFailed& audit_failed() const { return std::get<AuditFailed>(value_); }

  // "WAL I/O error: {}", "WAL JSON error: {}", "WAL chain broken at sequence
  // {}: expected {}, found {}", "WAL sequence continuity violation: found
  // {}" or "WAL audit failed at sequence {}: {}".
  std::string message() const;

 private:
  template <typename T>
  explicit WalError(T&& v) : value_(std::forward<T>(v)) {}

  std::variant<IoError, json::Error, ChainBroken, SequenceContinuity, AuditFailed> value_;
};

}  // namespace morvatel::wal

#endif  // MORVATEL_WAL_ERROR_H_
