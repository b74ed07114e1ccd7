#ifndef MORVATEL_BUDGET_MIGRATION_H_
#define MORVATEL_BUDGET_MIGRATION_H_

// Turning a legacy snapshot (one taken before versions carried the next
// reservation id) into a recovery-aware one. A legacy snapshot does not say
// where the allocator stood, so the caller must supply an id it trusts;
// restoring the migrated snapshot then starts the allocator there.

#include <cstdint>
#include <expected>
#include <optional>
#include <string>

#include "budget/ledger.h"

namespace morvatel::budget {

class LegacySnapshotMigrationError {
 public:
  enum class Kind : uint8_t { Restore, AlreadyRecoveryAware, TrustedIdOutOfRange };

  static LegacySnapshotMigrationError restore(RestoreError e);
  static LegacySnapshotMigrationError already_recovery_aware();
  static LegacySnapshotMigrationError trusted_id_out_of_range(uint64_t found);

  Kind kind() const { return kind_; }
  std::string message() const;

 private:
  explicit LegacySnapshotMigrationError(Kind k) : kind_(k) {}
  Kind kind_;
  std::optional<RestoreError> restore_;
  uint64_t found_ = 0;
};

// The largest trusted next reservation id: the allocator's own ceiling, so
// that the migrated version keeps bit 63 as its tag.
inline constexpr uint64_t kMaxTrustedReservationId = 9223372036854775807ULL;

// Refuses a snapshot that is already recovery-aware (before looking at the
// id), an id outside [1, kMaxTrustedReservationId], and ledgers that could
// not be restored; otherwise stamps the version with the id and keeps every
// other field, the watermark included.
std::expected<BudgetSnapshot, LegacySnapshotMigrationError> migrate_legacy_snapshot(
    BudgetSnapshot snapshot, uint64_t trusted_next_reservation_id);

}  // namespace morvatel::budget

#endif  // MORVATEL_BUDGET_MIGRATION_H_
