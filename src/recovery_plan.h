#ifndef MORVATEL_RECOVERY_PLAN_H_
#define MORVATEL_RECOVERY_PLAN_H_

// Recovery planning after a crash: given the snapshot written by a
// checkpoint tied to the audited log and the log itself, prove both sound
// and say how many log entries lie beyond the snapshot's watermark. Nothing
// is applied, written, created or locked; restoring the snapshot and
// replaying the entries is the caller's work.

#include <cstdint>
#include <expected>
#include <optional>
#include <string_view>

#include "budget/ledger.h"
#include "persistence_error.h"
#include "wal/anchor.h"
#include "wal/chain.h"

namespace morvatel {

struct RecoveryPlan {
  budget::BudgetSnapshot snapshot;
  // Entries in the log, which is also its last sequence (0 when empty).
  uint64_t total_wal_entries = 0;
  // Entries whose sequence is above the watermark: watermark + 1 to total.
  uint64_t entries_to_replay = 0;
  // The snapshot's watermark, 0 when it has none.
  uint64_t wal_high_watermark = 0;
};

// The snapshot is loaded and tested first (version tag, ledgers), so a
// faulty snapshot is reported even when the log is broken too. The log is
// then walked once, each entry also read with generic data; a log fault,
// and an anchor that does not match the head, read as
// PersistenceError::Io carrying the log error's text. A watermark ahead of
// the verified head is refused before the anchor is looked at.
std::expected<RecoveryPlan, PersistenceError> recovery_plan_inner(std::string_view snapshot_path,
                                                                  std::string_view wal_path,
                                                                  wal::WalKey key,
                                                                  const wal::WalAnchor* anchor);

}  // namespace morvatel

#endif  // MORVATEL_RECOVERY_PLAN_H_
