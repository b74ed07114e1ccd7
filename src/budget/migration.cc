#include "budget/migration.h"

#include "text.h"

namespace morvatel::budget {

LegacySnapshotMigrationError LegacySnapshotMigrationError::restore(RestoreError e) {
  LegacySnapshotMigrationError out(Kind::Restore);
  out.restore_ = std::move(e);
  return out;
}

LegacySnapshotMigrationError LegacySnapshotMigrationError::already_recovery_aware() {
  return LegacySnapshotMigrationError(Kind::AlreadyRecoveryAware);
}

LegacySnapshotMigrationError LegacySnapshotMigrationError::trusted_id_out_of_range(uint64_t found) {
  LegacySnapshotMigrationError out(Kind::TrustedIdOutOfRange);
  out.found_ = found;
  return out;
}

std::string LegacySnapshotMigrationError::message() const {
  switch (kind_) {
    case Kind::Restore:
      return str_cat("legacy snapshot is not recovery-eligible: ", restore_->message());
    case Kind::AlreadyRecoveryAware: return "snapshot is already recovery-aware";
    case Kind::TrustedIdOutOfRange:
      return str_cat("trusted next reservation ID must be in 1..=", kMaxTrustedReservationId,
                     ", found ", found_);
  }
  return {};
}

std::expected<BudgetSnapshot, LegacySnapshotMigrationError> migrate_legacy_snapshot(
    BudgetSnapshot snapshot, uint64_t trusted_next_reservation_id) {
  if (snapshot.version & kRecoveryAwareVersionBit) {
    return std::unexpected(LegacySnapshotMigrationError::already_recovery_aware());
  }
  if (trusted_next_reservation_id == 0 || trusted_next_reservation_id > kMaxTrustedReservationId) {
    return std::unexpected(
        LegacySnapshotMigrationError::trusted_id_out_of_range(trusted_next_reservation_id));
  }
  if (auto r = validate_snapshot_ledger(snapshot); !r) {
    return std::unexpected(LegacySnapshotMigrationError::restore(std::move(r.error())));
  }
  snapshot.version = kRecoveryAwareVersionBit + trusted_next_reservation_id;
  return snapshot;
}

}  // namespace morvatel::budget
