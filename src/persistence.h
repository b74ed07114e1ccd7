#ifndef MORVATEL_PERSISTENCE_H_
#define MORVATEL_PERSISTENCE_H_

// Budget snapshot files, and moving an engine's ledgers to and from them.
//
// A snapshot file holds one BudgetSnapshot as two-space-indented JSON,
// written by atomic replacement (so a reader or a crash sees the old file or
// the new one) and read back strictly within the artefact byte limit.
// Reading checks the form only: whether a snapshot may stand as an engine's
// state (recovery-aware version, validate_snapshot_ledger) is for each user
// to test before trusting it. Loading takes no lock; saving takes only the
// target's sibling lock file, never an engine lock.

#include <cstdint>
#include <expected>
#include <optional>
#include <string_view>

#include "blocking.h"
#include "budget/engine.h"
#include "budget/ledger.h"
#include "json/value.h"
#include "persistence_error.h"

namespace morvatel {

// `hook` sees the wait for the target's sibling lock, which another saver
// may hold for as long as it likes.
std::expected<void, PersistenceError> save_snapshot(std::string_view path,
                                                    const budget::BudgetSnapshot& snapshot,
                                                    BlockingHook* hook = nullptr);

std::expected<budget::BudgetSnapshot, PersistenceError> load_snapshot(std::string_view path);

// Whether the version carries the recovery-aware tag: bit 63 set and a
// non-zero next reservation id in the low 63 bits.
bool is_recovery_aware_version(uint64_t version);

// The tag test of restore, checkpoints and recovery planning. A snapshot
// without the tag is refused as a negative field of the pseudo-tenant
// "<snapshot-metadata>", its value the version held to the signed range.
std::expected<void, budget::RestoreError> check_recovery_aware_version(
    const budget::BudgetSnapshot& snapshot);

// The snapshot as a JSON object: "version", "tenants", "active_reservations",
// "wal_high_watermark" (null when absent), each row's keys in field order.
json::Value snapshot_json_value(const budget::BudgetSnapshot& snapshot);

// Captures the engine (consuming one allocator value, also when what
// follows fails), stamps the watermark when one is given, checks that the
// capture could be restored and saves it to `path`. Returns the snapshot
// saved.
std::expected<budget::BudgetSnapshot, PersistenceError> checkpoint(
    budget::BudgetEngine& engine, std::string_view path,
    std::optional<uint64_t> wal_high_watermark = std::nullopt, BlockingHook* hook = nullptr);

// Loads `path`, tests it as checkpoint does, and only then replaces the
// engine's ledgers with it. On failure the engine is unchanged. Returns the
// snapshot loaded, watermark included (the engine keeps none).
std::expected<budget::BudgetSnapshot, PersistenceError> restore(budget::BudgetEngine& engine,
                                                                std::string_view path);

// Rewrites the legacy snapshot at `source` as a recovery-aware one at
// `destination`, stamped with the trusted next reservation id. The
// destination must be another file than the source (by canonical path and
// by device and inode), so a failed migration never costs the only copy.
std::expected<budget::BudgetSnapshot, PersistenceError> migrate_legacy_snapshot_file(
    std::string_view source, std::string_view destination, uint64_t trusted_next_reservation_id,
    BlockingHook* hook = nullptr);

}  // namespace morvatel

#endif  // MORVATEL_PERSISTENCE_H_
