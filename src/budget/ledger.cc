#include "budget/ledger.h"

#include <string_view>
#include <unordered_set>

#include "budget/tenant_map.h"
#include "finance.h"
#include "text.h"

namespace morvatel::budget {

const char* debug_text(SnapshotAllocatorError e) {
  switch (e) {
    case SnapshotAllocatorError::AllocatorExhausted: return "AllocatorExhausted";
  }
  return "AllocatorExhausted";
}

std::string ConservationStatus::message() const {
  switch (kind_) {
    case Kind::Balanced: return "conservation balanced";
    case Kind::Violation:
      return str_cat("conservation violated for tenant ", tenant_id_, ": delta=", delta_,
                     " microcents");
    case Kind::AggregateOverflow:
      return "aggregate ledger totals exceed i64::MAX \u2014 certificate totals cannot be "
             "represented";
  }
  return {};
}

ConservationStatus conservation_status(std::span<const TenantLedger> rows) {
  for (const TenantLedger& row : rows) {
    auto s = checked_add(row.remaining_microcents, row.reserved_microcents);
    if (s) s = checked_add(*s, row.committed_microcents);
    if (s) s = checked_sub(*s, row.initial_microcents);
    if (!s) return ConservationStatus::aggregate_overflow();
    if (*s != 0) return ConservationStatus::violation(row.tenant_id, *s);
  }
  return ConservationStatus::balanced();
}

RestoreError RestoreError::active_reservations(uint64_t count) {
  RestoreError e(Kind::ActiveReservations);
  e.count_ = count;
  return e;
}

RestoreError RestoreError::reserved_without_reservations(std::string tenant, int64_t reserved) {
  RestoreError e(Kind::ReservedWithoutReservations);
  e.tenant_ = std::move(tenant);
  e.value_ = reserved;
  return e;
}

RestoreError RestoreError::negative_field(std::string tenant, const char* field, int64_t value) {
  RestoreError e(Kind::NegativeField);
  e.tenant_ = std::move(tenant);
  e.field_ = field;
  e.value_ = value;
  return e;
}

RestoreError RestoreError::conservation(ConservationStatus status) {
  RestoreError e(Kind::Conservation);
  e.status_ = std::move(status);
  return e;
}

RestoreError RestoreError::duplicate_tenant(std::string tenant) {
  RestoreError e(Kind::DuplicateTenant);
  e.tenant_ = std::move(tenant);
  return e;
}

std::string RestoreError::message() const {
  switch (kind_) {
    case Kind::ActiveReservations:
      return str_cat("cannot restore snapshot with ", count_, " active reservations");
    case Kind::ReservedWithoutReservations:
      return str_cat("tenant ", tenant_, " has reserved_microcents=", value_,
                     " with no active reservations");
    case Kind::NegativeField:
      return str_cat("tenant ", tenant_, " has negative ", field_, ": ", value_);
    case Kind::Conservation:
      return str_cat("snapshot failed conservation: ",
                     status_ ? status_->message() : std::string());
    case Kind::DuplicateTenant: return str_cat("duplicate tenant_id in snapshot: ", tenant_);
  }
  return {};
}

std::expected<void, RestoreError> validate_snapshot_ledger(const BudgetSnapshot& snapshot) {
  if (snapshot.active_reservations != 0) {
    return std::unexpected(RestoreError::active_reservations(snapshot.active_reservations));
  }
  // Keyed like the engine's maps: a snapshot file is caller-supplied too.
  std::unordered_set<std::string_view, TenantHash, TenantEqual> seen;
  seen.reserve(snapshot.tenants.size());
  for (const TenantLedger& row : snapshot.tenants) {
    if (!seen.insert(row.tenant_id).second) {
      return std::unexpected(RestoreError::duplicate_tenant(row.tenant_id));
    }
    if (row.reserved_microcents != 0) {
      return std::unexpected(
          RestoreError::reserved_without_reservations(row.tenant_id, row.reserved_microcents));
    }
    if (row.remaining_microcents < 0) {
      return std::unexpected(RestoreError::negative_field(row.tenant_id, "remaining_microcents",
                                                          row.remaining_microcents));
    }
    if (row.initial_microcents < 0) {
      return std::unexpected(RestoreError::negative_field(row.tenant_id, "initial_microcents",
                                                          row.initial_microcents));
    }
    if (row.committed_microcents < 0) {
      return std::unexpected(RestoreError::negative_field(row.tenant_id, "committed_microcents",
                                                          row.committed_microcents));
    }
  }
  ConservationStatus status = conservation_status(snapshot.tenants);
  if (!status.is_balanced()) return std::unexpected(RestoreError::conservation(std::move(status)));
  return {};
}

bool WideTotals::representable() const {
  constexpr __int128 lo = INT64_MIN;
  constexpr __int128 hi = INT64_MAX;
  return initial >= lo && initial <= hi && committed >= lo && committed <= hi;
}

WideTotals wide_totals(std::span<const TenantLedger> rows) {
  // 2^64 rows of at most 2^63 each cannot pass 2^127: no check needed.
  WideTotals t;
  for (const TenantLedger& row : rows) {
    t.initial += row.initial_microcents;
    t.committed += row.committed_microcents;
  }
  return t;
}

}  // namespace morvatel::budget
