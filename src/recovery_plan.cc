#include "recovery_plan.h"

#include <utility>

#include "persistence.h"
#include "text.h"

namespace morvatel {

namespace {

// A log fault seen from the persistence layer: its text kept whole behind
// the "I/O error: " prefix.
PersistenceError from_wal(const wal::WalError& e) {
  return PersistenceError::io(IoError::custom(IoErrorKind::Other, e.message()));
}

}  // namespace

std::expected<RecoveryPlan, PersistenceError> recovery_plan_inner(std::string_view snapshot_path,
                                                                  std::string_view wal_path,
                                                                  wal::WalKey key,
                                                                  const wal::WalAnchor* anchor) {
  auto snapshot = load_snapshot(snapshot_path);
  if (!snapshot) return std::unexpected(std::move(snapshot.error()));
  if (auto r = check_recovery_aware_version(*snapshot); !r) {
    return std::unexpected(PersistenceError::restore(std::move(r.error())));
  }
  if (auto r = budget::validate_snapshot_ledger(*snapshot); !r) {
    return std::unexpected(PersistenceError::restore(std::move(r.error())));
  }

  RecoveryPlan plan;
  plan.wal_high_watermark = snapshot->wal_high_watermark.value_or(0);
  // An entry counts only if it passes the chain tests and also reads with
  // `data` as a generic value, as a replaying caller will read it.
  // Sequences run from 1 without gaps: the head's is the count, and the
  // entries past the watermark are the ones to replay.
  auto head = wal::validate_value_chain(wal_path, key);
  if (!head) return std::unexpected(from_wal(head.error()));
  plan.total_wal_entries = head->sequence;
  if (plan.total_wal_entries > plan.wal_high_watermark) {
    plan.entries_to_replay = plan.total_wal_entries - plan.wal_high_watermark;
  }

  if (plan.wal_high_watermark > plan.total_wal_entries) {
    return std::unexpected(PersistenceError::io(
        IoError::custom(IoErrorKind::InvalidData,
                        str_cat("snapshot WAL watermark ", plan.wal_high_watermark,
                                " is ahead of verified WAL head ", plan.total_wal_entries))));
  }
  if (anchor != nullptr) {
    auto r = wal::verify_head(*anchor, plan.total_wal_entries, std::move(head->last_hash),
                              key.has_value());
    if (!r) return std::unexpected(from_wal(r.error()));
  }
  plan.snapshot = std::move(*snapshot);
  return plan;
}

}  // namespace morvatel
