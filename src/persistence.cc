#include "persistence.h"

#include <errno.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <limits>
#include <memory>
#include <string>
#include <utility>

#include "budget/migration.h"
#include "budget/snapshot_json.h"
#include "fs.h"
#include "json_artifact.h"

namespace morvatel {

namespace {

using budget::BudgetSnapshot;
using budget::RestoreError;
using budget::TenantLedger;

constexpr uint64_t kLow63 = ~budget::kRecoveryAwareVersionBit;

std::unexpected<PersistenceError> io_failure(IoError e) {
  return std::unexpected(PersistenceError::io(std::move(e)));
}

std::unexpected<PersistenceError> invalid_data(std::string text) {
  return io_failure(IoError::custom(IoErrorKind::InvalidData, std::move(text)));
}

// The tests every snapshot passes before it is trusted as an engine's
// whole state: the version tag first, then the ledgers.
std::expected<void, PersistenceError> check_restorable(const BudgetSnapshot& snapshot) {
  if (auto r = check_recovery_aware_version(snapshot); !r) {
    return std::unexpected(PersistenceError::restore(std::move(r.error())));
  }
  if (auto r = budget::validate_snapshot_ledger(snapshot); !r) {
    return std::unexpected(PersistenceError::restore(std::move(r.error())));
  }
  return {};
}

// realpath(3): the absolute path with every symbolic link, "." and ".."
// resolved; the file must exist.
std::expected<std::string, IoError> canonical_path(std::string_view path) {
  auto c = c_path(path);
  if (!c) return std::unexpected(c.error());
  std::unique_ptr<char, decltype(&::free)> resolved(::realpath(c->c_str(), nullptr), &::free);
  if (!resolved) return std::unexpected(IoError::last_os());
  return std::string(resolved.get());
}

// stat(2), following symbolic links.
std::expected<struct stat, IoError> file_status(std::string_view path) {
  auto c = c_path(path);
  if (!c) return std::unexpected(c.error());
  struct stat st;
  if (::stat(c->c_str(), &st) != 0) return std::unexpected(IoError::last_os());
  return st;
}

constexpr const char* kSameFile = "legacy snapshot migration requires a distinct destination file";

// Refuses a destination that is, or would become, the source file: the
// migration must never replace the only copy of the legacy ledgers.
std::expected<void, PersistenceError> check_distinct_destination(std::string_view source,
                                                                 std::string_view destination) {
  auto source_canonical = canonical_path(source);
  if (!source_canonical) return io_failure(std::move(source_canonical.error()));
  auto source_status = file_status(*source_canonical);
  if (!source_status) return io_failure(std::move(source_status.error()));

  auto dest_status = file_status(destination);
  if (dest_status) {
    auto dest_canonical = canonical_path(destination);
    if (!dest_canonical) return io_failure(std::move(dest_canonical.error()));
    auto canonical_status = file_status(*dest_canonical);
    if (!canonical_status) return io_failure(std::move(canonical_status.error()));
    // Equal inodes catch a hard link, which no path comparison can see.
    if (*dest_canonical == *source_canonical ||
        (canonical_status->st_dev == source_status->st_dev &&
         canonical_status->st_ino == source_status->st_ino)) {
      return invalid_data(kSameFile);
    }
    return {};
  }
  if (dest_status.error().kind() != IoErrorKind::NotFound) {
    return io_failure(std::move(dest_status.error()));
  }
  auto name = final_name(destination);
  if (!name) return invalid_data("legacy snapshot destination must name a file");
  auto parent = canonical_path(parent_directory(destination));
  if (!parent) return io_failure(std::move(parent.error()));
  if (join_path(*parent, *name) == *source_canonical) return invalid_data(kSameFile);
  return {};
}

}  // namespace

std::expected<void, PersistenceError> save_snapshot(std::string_view path,
                                                    const BudgetSnapshot& snapshot,
                                                    BlockingHook* hook) {
  return save_json_artifact(path, snapshot, hook);
}

std::expected<BudgetSnapshot, PersistenceError> load_snapshot(std::string_view path) {
  return load_json_artifact<BudgetSnapshot>(path);
}

bool is_recovery_aware_version(uint64_t version) {
  return (version & budget::kRecoveryAwareVersionBit) != 0 && (version & kLow63) != 0;
}

std::expected<void, RestoreError> check_recovery_aware_version(const BudgetSnapshot& snapshot) {
  if (is_recovery_aware_version(snapshot.version)) return {};
  constexpr uint64_t kMax = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
  const auto shown = static_cast<int64_t>(snapshot.version < kMax ? snapshot.version : kMax);
  return std::unexpected(
      RestoreError::negative_field("<snapshot-metadata>", "recovery-aware version tag", shown));
}

json::Value snapshot_json_value(const BudgetSnapshot& snapshot) {
  json::Array rows;
  rows.reserve(snapshot.tenants.size());
  for (const TenantLedger& t : snapshot.tenants) {
    json::Object row;
    row.reserve(5);
    row.set("tenant_id", t.tenant_id);
    row.set("initial_microcents", t.initial_microcents);
    row.set("remaining_microcents", t.remaining_microcents);
    row.set("reserved_microcents", t.reserved_microcents);
    row.set("committed_microcents", t.committed_microcents);
    rows.emplace_back(std::move(row));
  }
  json::Object out;
  out.reserve(4);
  out.set("version", snapshot.version);
  out.set("tenants", std::move(rows));
  out.set("active_reservations", snapshot.active_reservations);
  out.set("wal_high_watermark",
          snapshot.wal_high_watermark ? json::Value(*snapshot.wal_high_watermark) : json::Value());
  return out;
}

std::expected<BudgetSnapshot, PersistenceError> checkpoint(
    budget::BudgetEngine& engine, std::string_view path, std::optional<uint64_t> wal_high_watermark,
    BlockingHook* hook) {
  auto snapshot = engine.try_snapshot();
  if (!snapshot) return invalid_data("reservation allocator exhausted");
  snapshot->wal_high_watermark = wal_high_watermark;
  if (auto r = check_restorable(*snapshot); !r) return std::unexpected(std::move(r.error()));
  if (auto r = save_snapshot(path, *snapshot, hook); !r) {
    return std::unexpected(std::move(r.error()));
  }
  return std::move(*snapshot);
}

std::expected<BudgetSnapshot, PersistenceError> restore(budget::BudgetEngine& engine,
                                                        std::string_view path) {
  auto snapshot = load_snapshot(path);
  if (!snapshot) return snapshot;
  if (auto r = check_restorable(*snapshot); !r) return std::unexpected(std::move(r.error()));
  engine.restore(*snapshot);
  return snapshot;
}

std::expected<BudgetSnapshot, PersistenceError> migrate_legacy_snapshot_file(
    std::string_view source, std::string_view destination, uint64_t trusted_next_reservation_id,
    BlockingHook* hook) {
  if (auto r = check_distinct_destination(source, destination); !r) {
    return std::unexpected(std::move(r.error()));
  }
  auto loaded = load_snapshot(source);
  if (!loaded) return loaded;
  auto migrated = budget::migrate_legacy_snapshot(std::move(*loaded), trusted_next_reservation_id);
  if (!migrated) return invalid_data(migrated.error().message());
  if (auto r = save_snapshot(destination, *migrated, hook); !r) {
    return std::unexpected(std::move(r.error()));
  }
  return std::move(*migrated);
}

}  // namespace morvatel
