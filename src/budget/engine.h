#ifndef MORVATEL_BUDGET_ENGINE_H_
#define MORVATEL_BUDGET_ENGINE_H_

// The budget engine: per-tenant money in signed 64-bit microcents, funded,
// held back by reservations and settled by commit or release, so that for
// every tenant
//
//   remaining + reserved + committed = initial
//
// holds between operations, whatever the interleaving of callers.
//
// Concurrency. Ledger mutations hold the gate `ledger_lock_` shared and so
// run together; whole-engine captures take it exclusive and so never see an
// operation half done. Each tenant's remaining and reserved balances are
// atomic cells that operations update with no map mutex held; a map mutex
// is held only to find a tenant (and, for initial and committed, across the
// one update that must agree with a cell). When more than one mutex is held
// they are taken in the order of LockRank.
//
// Business outcomes (too little money, unknown tenant, overflow) are
// statuses, not errors; only bad arguments are errors.

#include <atomic>
#include <cstdint>
#include <expected>
#include <optional>
#include <shared_mutex>
#include <string>
#include <string_view>

#include "budget/ledger.h"
#include "budget/lock_order.h"
#include "budget/tenant_map.h"
#include "crypto.h"

namespace morvatel::budget {

// The allocator refuses once it holds this value, the largest signed 64-bit
// number; the largest id ever handed out is one less.
inline constexpr uint64_t kAllocatorLimit = 9223372036854775807ULL;

// A refused argument of ensure_tenant or set_max_reserved_microcents.
struct TenantArgumentError {
  enum class Kind : uint8_t { Negative, IdTooLong };
  Kind kind;
  const char* name;  // the quantity refused
  int64_t value;     // the value given (Negative)
  uint64_t length;   // the id's byte length (IdTooLong)

  std::string message() const;
};

struct ReserveOutcome {
  enum class Kind : uint8_t {
    Reserved,
    Insufficient,
    MissingTenant,
    ExposureLimitExceeded,
    Overflow
  };
  Kind kind;
  uint64_t reservation_id = 0;      // Reserved
  int64_t remaining = 0;            // Reserved (after), Insufficient
  int64_t required = 0;             // Insufficient
  int64_t current_reserved = 0;     // ExposureLimitExceeded, Overflow
  int64_t max_reserved = 0;         // ExposureLimitExceeded

  bool operator==(const ReserveOutcome&) const = default;
};

struct Settlement {
  enum class Kind : uint8_t {
    Committed,
    Released,
    Overrun,
    InvalidAmount,
    MissingReservation,
    MissingTenant,
    Overflow,
  };
  Kind kind;
  int64_t remaining = 0;  // Committed, Released, Overrun, Overflow
  int64_t amount = 0;     // actual (Committed) or returned (Released)

  bool operator==(const Settlement&) const = default;
};

struct TopUpOutcome {
  enum class Kind : uint8_t { ToppedUp, MissingTenant, InvalidAmount, Overflow };
  Kind kind;
  int64_t added = 0;
  int64_t new_initial = 0;
  int64_t remaining = 0;

  bool operator==(const TopUpOutcome&) const = default;
};

// The result of prove_conservation: the ledgers balanced and their totals
// fit in signed 64 bits.
struct ConservationProof {
  Digest32 ledger_digest{};
  uint64_t snapshot_version = 0;
  uint64_t tenant_count = 0;
  uint64_t active_reservations = 0;
  int64_t total_initial = 0;
  int64_t total_committed = 0;
};

// Why prove_conservation gave no proof: the capture could not be taken
// (an internal failure), or the ledgers do not balance or do not total.
struct ProofError {
  enum class Kind : uint8_t { AllocatorExhausted, NotBalanced };
  Kind kind;
  ConservationStatus status = ConservationStatus::balanced();  // NotBalanced

  std::string message() const;
};

struct Certificate {
  uint64_t snapshot_version = 0;
  Digest32 ledger_digest{};
  uint64_t tenant_count = 0;
  uint64_t active_reservations = 0;
  bool conservation_balanced = false;
  int64_t total_initial = 0;     // 0 when not representable
  int64_t total_committed = 0;   // 0 when not representable
  bool aggregate_totals_representable = false;
  int64_t committed_since_last_certificate = 0;
};

// The text of the internal failure raised when a capture that cannot fail
// by design meets an exhausted allocator.
std::string infallible_capture_failure(SnapshotAllocatorError e);

class BudgetEngine {
 public:
  // `first_reservation_id` is the allocator's starting value (1 for a new
  // engine); tests start near the limit to reach exhaustion.
  explicit BudgetEngine(uint64_t first_reservation_id = 1);
  BudgetEngine(const BudgetEngine&) = delete;
  BudgetEngine& operator=(const BudgetEngine&) = delete;

  // Creates the tenant with the budget, or leaves an existing one as it is.
  std::expected<void, TenantArgumentError> ensure_tenant(std::string_view tenant,
                                                         int64_t budget_microcents);
  // 0 lifts the tenant's limit; the tenant need not exist yet.
  std::expected<void, TenantArgumentError> set_max_reserved_microcents(std::string_view tenant,
                                                                       int64_t max_microcents);
  TopUpOutcome top_up_tenant(std::string_view tenant, int64_t amount_microcents);
  ReserveOutcome try_reserve(std::string_view tenant, int64_t amount_microcents);
  Settlement commit(uint64_t reservation_id, int64_t actual_microcents);
  Settlement release(uint64_t reservation_id);

  // Point reads under one map mutex each, without the gate: they may see
  // the moment between two cell updates of one operation.
  std::optional<int64_t> initial_microcents(std::string_view tenant) const;
  std::optional<int64_t> remaining_microcents(std::string_view tenant) const;
  std::optional<int64_t> reserved_microcents(std::string_view tenant) const;
  std::optional<int64_t> committed_microcents(std::string_view tenant) const;
  uint64_t tenant_count() const;
  uint64_t active_reservations() const;

  // A consistent copy of every tenant's ledger, rows sorted by the bytes of
  // tenant_id, stamped with a recovery-aware version. Consumes one value of
  // the reservation allocator; fails, changing nothing, once it is spent.
  std::expected<BudgetSnapshot, SnapshotAllocatorError> try_snapshot();

  // The checks below each take one capture. Their only error is the
  // exhausted allocator, which the caller reports as an internal failure.
  std::expected<ConservationStatus, SnapshotAllocatorError> verify_conservation();
  std::expected<ConservationProof, ProofError> prove_conservation();
  // Also advances the committed total at the last certificate, which only
  // ever moves up.
  std::expected<Certificate, SnapshotAllocatorError> certify();

  // Replaces every ledger at once with the snapshot's rows, which the caller
  // has checked (recovery-aware version, validate_snapshot_ledger): no
  // reservation and no exposure limit survives, the allocator continues from
  // the id the version carries, and the next certificate counts committed
  // spend from the snapshot's committed total.
  void restore(const BudgetSnapshot& snapshot);

 private:
  // A tenant's shared balance. Aligned to its own cache line so that
  // tenants on different threads do not contend on one line.
  struct alignas(64) Cell {
    explicit Cell(int64_t v) : value(v) {}
    std::atomic<int64_t> value;
  };
  struct ReservationRecord {
    TenantName tenant;
    int64_t amount;
    uint64_t tenant_hash;  // so settling hashes nothing under a mutex
  };

  std::optional<uint64_t> allocate_id();

  // The balance cell of `key` in `map`, found under the map's mutex; null
  // for an unknown tenant. Cells live in their map nodes and only a restore,
  // under the exclusive gate, removes nodes, so the pointer stays valid
  // while the caller holds the gate shared.
  static std::atomic<int64_t>* find_cell(Guarded<TenantMap<Cell>>& map, const TenantKey& key);

  // Field order follows the ledger's data model; the lock order is
  // LockRank's, not this one.
  Guarded<TenantMap<Cell>> remaining_by_tenant_{LockRank::RemainingByTenant};
  Guarded<TenantMap<int64_t>> initial_by_tenant_{LockRank::InitialByTenant};
  Guarded<TenantMap<int64_t>> committed_by_tenant_{LockRank::CommittedByTenant};
  Guarded<ReservationMap<ReservationRecord>> reservations_{LockRank::Reservations};
  Guarded<TenantMap<int64_t>> max_reserved_by_tenant_{LockRank::MaxReservedByTenant};
  Guarded<TenantMap<Cell>> reserved_by_tenant_{LockRank::ReservedByTenant};
  std::shared_mutex ledger_lock_;
  std::atomic<uint64_t> next_reservation_id_;
  Guarded<int64_t> last_certified_committed_{LockRank::LastCertifiedCommitted};
};

}  // namespace morvatel::budget

#endif  // MORVATEL_BUDGET_ENGINE_H_
