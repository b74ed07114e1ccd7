// BudgetEngine::restore: the one operation that replaces the engine's state
// wholesale rather than changing it ledger by ledger.

#include <limits>
#include <memory>
#include <mutex>
#include <utility>

#include "budget/engine.h"
#include "finance.h"

namespace morvatel::budget {

void BudgetEngine::restore(const BudgetSnapshot& snapshot) {
  // The new maps are built before any lock is taken: whatever can fail
  // (allocation) fails while the engine is untouched, and the exclusive
  // gate is then held only for swaps, which cannot fail.
  TenantMap<Cell> remaining;
  TenantMap<int64_t> initial;
  TenantMap<int64_t> committed;
  TenantMap<Cell> reserved;
  remaining.reserve(snapshot.tenants.size());
  initial.reserve(snapshot.tenants.size());
  committed.reserve(snapshot.tenants.size());
  reserved.reserve(snapshot.tenants.size());
  // Saturates: a total that does not fit is held at the largest value, so
  // certificates after the restore count nothing until real spend passes it.
  int64_t total_committed = 0;
  for (const TenantLedger& row : snapshot.tenants) {
    TenantName name = std::make_shared<const std::string>(row.tenant_id);
    remaining.try_emplace(name, row.remaining_microcents);
    initial.try_emplace(name, row.initial_microcents);
    committed.try_emplace(name, row.committed_microcents);
    reserved.try_emplace(name, row.reserved_microcents);
    total_committed = checked_add(total_committed, row.committed_microcents)
                          .value_or(std::numeric_limits<int64_t>::max());
  }
  // Receive the replaced contents, to be freed once every lock is released.
  ReservationMap<ReservationRecord> old_reservations;
  TenantMap<int64_t> limits;

  std::unique_lock gate(ledger_lock_);
  {
    Hold l(reservations_.mu);
    reservations_.value.swap(old_reservations);
  }
  {
    Hold l1(remaining_by_tenant_.mu);
    Hold l2(initial_by_tenant_.mu);
    Hold l3(committed_by_tenant_.mu);
    Hold l4(reserved_by_tenant_.mu);
    Hold l5(max_reserved_by_tenant_.mu);
    remaining_by_tenant_.value.swap(remaining);
    initial_by_tenant_.value.swap(initial);
    committed_by_tenant_.value.swap(committed);
    reserved_by_tenant_.value.swap(reserved);
    max_reserved_by_tenant_.value.swap(limits);
    next_reservation_id_.store(snapshot.version & ~kRecoveryAwareVersionBit);
    Hold l6(last_certified_committed_.mu);
    last_certified_committed_.value = total_committed;
  }
}

}  // namespace morvatel::budget
