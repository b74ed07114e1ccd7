#ifndef MORVATEL_PERSISTENCE_ERROR_H_
#define MORVATEL_PERSISTENCE_ERROR_H_

// The error of every artefact-file operation (snapshot and anchor files,
// checkpoints, restores, recovery planning). Its message names the
// layer first and keeps the inner error's text behind it, so a fault met
// deep inside (a log's chain, say) still reads whole at the top.

#include <cstdint>
#include <string>
#include <variant>

#include "budget/ledger.h"
#include "io_error.h"
#include "json/error.h"

namespace morvatel {

class PersistenceError {
 public:
  enum class Kind : uint8_t { Io, Json, Restore };

  static PersistenceError io(IoError e) { return PersistenceError(std::move(e)); }
  static PersistenceError json(json::Error e) { return PersistenceError(std::move(e)); }
  static PersistenceError restore(budget::RestoreError e) { return PersistenceError(std::move(e)); }

  Kind kind() const { return static_cast<Kind>(value_.index()); }

  // The value held; only for the matching kind.
  const IoError& io_error() const { return std::get<IoError>(value_); }
  const json::Error& json_error() const { return std::get<json::Error>(value_); }
  const budget::RestoreError& restore_error() const {
    return std::get<budget::RestoreError>(value_);
  }

  // "I/O error: {}", "JSON error: {}" or "restore error: {}" with the text
  // of the value held.
  std::string message() const;

 private:
  template <typename T>
  explicit PersistenceError(T&& v) : value_(std::forward<T>(v)) {}

  std::variant<IoError, json::Error, budget::RestoreError> value_;
};

}  // namespace morvatel

#endif  // MORVATEL_PERSISTENCE_ERROR_H_
