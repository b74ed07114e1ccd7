#ifndef MORVATEL_BUDGET_LEDGER_H_
#define MORVATEL_BUDGET_LEDGER_H_

// The captured form of the budget engine's ledgers, and the checks that
// decide whether such a capture (or one read back from a file) balances and
// may be trusted. Everything here is a pure function of its arguments.

#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace morvatel::budget {

// One tenant's ledger. The field order is the order of every dict, file and
// digest that carries a row.
struct TenantLedger {
  std::string tenant_id;
  int64_t initial_microcents = 0;
  int64_t remaining_microcents = 0;
  int64_t reserved_microcents = 0;
  int64_t committed_microcents = 0;

  bool operator==(const TenantLedger&) const = default;
};

struct BudgetSnapshot {
  uint64_t version = 0;
  std::vector<TenantLedger> tenants;
  uint64_t active_reservations = 0;
  std::optional<uint64_t> wal_high_watermark;

  bool operator==(const BudgetSnapshot&) const = default;
};

// Bit 63 of a capture's version marks it as taken by an engine that knows
// its next reservation id; the low 63 bits are that id.
inline constexpr uint64_t kRecoveryAwareVersionBit = uint64_t{1} << 63;

// The failure of a capture: the reservation allocator has no value left.
enum class SnapshotAllocatorError : uint8_t {
  AllocatorExhausted,
};

// "AllocatorExhausted".
const char* debug_text(SnapshotAllocatorError e);

// Whether every tenant's remaining + reserved + committed equals initial.
class ConservationStatus {
 public:
  enum class Kind : uint8_t { Balanced, Violation, AggregateOverflow };

  static ConservationStatus balanced() { return ConservationStatus(Kind::Balanced, {}, 0); }
  static ConservationStatus violation(std::string tenant_id, int64_t delta) {
    return ConservationStatus(Kind::Violation, std::move(tenant_id), delta);
  }
  static ConservationStatus aggregate_overflow() {
    return ConservationStatus(Kind::AggregateOverflow, {}, 0);
  }

  Kind kind() const { return kind_; }
  bool is_balanced() const { return kind_ == Kind::Balanced; }
  // Meaningful for Violation only.
  const std::string& tenant_id() const { return tenant_id_; }
  int64_t delta_microcents() const { return delta_; }

  std::string message() const;

  bool operator==(const ConservationStatus&) const = default;

 private:
  ConservationStatus(Kind k, std::string tenant, int64_t delta)
      : kind_(k), tenant_id_(std::move(tenant)), delta_(delta) {}
  Kind kind_;
  std::string tenant_id_;
  int64_t delta_;
};

// The status of the rows taken in the order given: the first row whose sums
// overflow or do not balance decides.
ConservationStatus conservation_status(std::span<const TenantLedger> rows);

// Why a snapshot may not be trusted as the whole state of an engine.
class RestoreError {
 public:
  enum class Kind : uint8_t {
    ActiveReservations,
    ReservedWithoutReservations,
    NegativeField,
    Conservation,
    DuplicateTenant,
  };

  static RestoreError active_reservations(uint64_t count);
  static RestoreError reserved_without_reservations(std::string tenant, int64_t reserved);
  // `field` is a static text: the name of the offending field.
  static RestoreError negative_field(std::string tenant, const char* field, int64_t value);
  static RestoreError conservation(ConservationStatus status);
  static RestoreError duplicate_tenant(std::string tenant);

  Kind kind() const { return kind_; }
  uint64_t count() const { return count_; }
  const std::string& tenant_id() const { return tenant_; }
  const char* field() const { return field_; }
  int64_t value() const { return value_; }
  const std::optional<ConservationStatus>& status() const { return status_; }

  std::string message() const;

 private:
  explicit RestoreError(Kind k) : kind_(k) {}
  Kind kind_;
  uint64_t count_ = 0;
  std::string tenant_;
  const char* field_ = "";
  int64_t value_ = 0;
  std::optional<ConservationStatus> status_;
};

// Whether a snapshot can stand as the complete state of an engine: no open
// reservations, unique tenants, nothing reserved, no negative amounts, and
// every row balanced. The first failure wins.
std::expected<void, RestoreError> validate_snapshot_ledger(const BudgetSnapshot& snapshot);

// The wide totals of a certificate: sums over all rows in 128-bit
// arithmetic, so that no total can wrap however many tenants there are.
struct WideTotals {
  __int128 initial = 0;
  __int128 committed = 0;

  bool representable() const;
};

WideTotals wide_totals(std::span<const TenantLedger> rows);

}  // namespace morvatel::budget

#endif  // MORVATEL_BUDGET_LEDGER_H_
