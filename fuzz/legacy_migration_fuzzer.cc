// Feeds the legacy snapshot migration a snapshot decoded from the input's
// text and a trusted next reservation id taken from its first eight bytes.
// Beyond "no crash, no sanitizer report": the refusals come in their order
// (already tagged, id out of range, ledgers not restorable), and a migrated
// snapshot differs from its source only in a version that is the tag plus
// the id, passes every check a restore makes, and is refused a second
// migration.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "fuzz_check.h"
#include "budget/ledger.h"
#include "budget/migration.h"
#include "budget/snapshot_json.h"
#include "json/record.h"
#include "persistence.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace morvatel;
  using namespace morvatel::budget;
  using fuzzing::check;
  if (size < 8) return 0;
  uint64_t id;
  std::memcpy(&id, data, 8);
  // Small ids and the edges of the range are the interesting ones.
  switch (id >> 62) {
    case 0: id &= 0xFF; break;
    case 1: id = kMaxTrustedReservationId - (id & 3) + 1; break;
    default: break;
  }
  std::string_view text(reinterpret_cast<const char*>(data) + 8, size - 8);
  auto source = json::parse<BudgetSnapshot>(text);
  if (!source) return 0;

  auto migrated = migrate_legacy_snapshot(*source, id);
  using K = LegacySnapshotMigrationError::Kind;
  if (!migrated) {
    const K kind = migrated.error().kind();
    check(!migrated.error().message().empty());
    if (source->version & kRecoveryAwareVersionBit) {
      check(kind == K::AlreadyRecoveryAware);
    } else if (id == 0 || id > kMaxTrustedReservationId) {
      check(kind == K::TrustedIdOutOfRange);
    } else {
      check(kind == K::Restore && !validate_snapshot_ledger(*source).has_value());
    }
    return 0;
  }
  check(!(source->version & kRecoveryAwareVersionBit));
  check(id >= 1 && id <= kMaxTrustedReservationId);
  check(migrated->version == (kRecoveryAwareVersionBit | id));
  check(migrated->tenants == source->tenants);
  check(migrated->active_reservations == source->active_reservations);
  check(migrated->wal_high_watermark == source->wal_high_watermark);
  check(is_recovery_aware_version(migrated->version));
  check(check_recovery_aware_version(*migrated).has_value());
  check(validate_snapshot_ledger(*migrated).has_value());

  auto twice = migrate_legacy_snapshot(*migrated, id);
  check(!twice && twice.error().kind() == K::AlreadyRecoveryAware);
  return 0;
}
