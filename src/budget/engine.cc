#include "budget/engine.h"

#include <algorithm>
#include <memory>
#include <mutex>

#include "finance.h"
#include "text.h"

namespace morvatel::budget {

namespace {

constexpr uint64_t kMaxTenantIdBytes = uint64_t{1} << 32;

int64_t balance_of(int64_t v) { return v; }
template <typename Cell>
int64_t balance_of(const Cell& cell) {
  return cell.value.load();
}

// One tenant's entry in one of the ledger's maps, read under that map's
// mutex alone.
template <typename Map>
std::optional<int64_t> point_read(const Guarded<Map>& map, std::string_view tenant) {
  const TenantKey key(tenant);
  Hold l(map.mu);
  auto it = map.value.find(key);
  if (it == map.value.end()) return std::nullopt;
  return balance_of(it->second);
}

}  // namespace

std::string TenantArgumentError::message() const {
  switch (kind) {
    case Kind::Negative: return str_cat(name, " must be >= 0, got ", value);
    case Kind::IdTooLong:
      return str_cat(name, " must be shorter than ", kMaxTenantIdBytes, " bytes, got ", length);
  }
  return {};
}

std::string ProofError::message() const {
  if (kind == Kind::AllocatorExhausted) {
    return infallible_capture_failure(SnapshotAllocatorError::AllocatorExhausted);
  }
  return status.message();
}

std::string infallible_capture_failure(SnapshotAllocatorError e) {
  return str_cat("reservation allocator exhausted \u2014 use try_snapshot() for fallible capture: ",
                 debug_text(e));
}

BudgetEngine::BudgetEngine(uint64_t first_reservation_id)
    : next_reservation_id_(first_reservation_id) {}

std::optional<uint64_t> BudgetEngine::allocate_id() {
  uint64_t v = next_reservation_id_.load();
  do {
    if (v >= kAllocatorLimit) return std::nullopt;
  } while (!next_reservation_id_.compare_exchange_weak(v, v + 1));
  return v;
}

std::expected<void, TenantArgumentError> BudgetEngine::ensure_tenant(std::string_view tenant,
                                                                     int64_t budget) {
  if (budget < 0) {
    return std::unexpected(
        TenantArgumentError{TenantArgumentError::Kind::Negative, "budget_microcents", budget, 0});
  }
  // The ledger digest gives each id a 32-bit length; an id that does not fit
  // could never be digested faithfully, so it never becomes a tenant.
  if (tenant.size() >= kMaxTenantIdBytes) {
    return std::unexpected(
        TenantArgumentError{TenantArgumentError::Kind::IdTooLong, "tenant_id", 0, tenant.size()});
  }
  const TenantKey key(tenant);
  std::shared_lock gate(ledger_lock_);
  Hold l1(remaining_by_tenant_.mu);
  Hold l2(initial_by_tenant_.mu);
  Hold l3(committed_by_tenant_.mu);
  Hold l4(reserved_by_tenant_.mu);
  auto& remaining = remaining_by_tenant_.value;
  auto& initial = initial_by_tenant_.value;
  auto& committed = committed_by_tenant_.value;
  auto& reserved = reserved_by_tenant_.value;
  if (remaining.contains(key)) return {};

  // The four maps gain the tenant together or not at all. Everything that
  // can fail (the name, bucket arrays, nodes) happens before or during the
  // inserts; an insert that fails undoes the ones before it with erase,
  // which cannot fail.
  TenantName name = std::make_shared<const std::string>(tenant);
  remaining.reserve(remaining.size() + 1);
  initial.reserve(initial.size() + 1);
  committed.reserve(committed.size() + 1);
  reserved.reserve(reserved.size() + 1);
  int done = 0;
  try {
    remaining.try_emplace(name, budget);
    done = 1;
    initial.try_emplace(name, budget);
    done = 2;
    committed.try_emplace(name, 0);
    done = 3;
    reserved.try_emplace(name, 0);
  } catch (...) {
    if (done >= 3) committed.erase(name);
    if (done >= 2) initial.erase(name);
    if (done >= 1) remaining.erase(name);
    throw;
  }
  return {};
}

std::expected<void, TenantArgumentError> BudgetEngine::set_max_reserved_microcents(
    std::string_view tenant, int64_t max_microcents) {
  if (max_microcents < 0) {
    return std::unexpected(TenantArgumentError{TenantArgumentError::Kind::Negative,
                                               "max_reserved_microcents", max_microcents, 0});
  }
  const TenantKey key(tenant);
  std::unique_lock gate(ledger_lock_);
  Hold l(max_reserved_by_tenant_.mu);
  auto& limits = max_reserved_by_tenant_.value;
  auto it = limits.find(key);
  if (max_microcents == 0) {
    if (it != limits.end()) limits.erase(it);
  } else if (it != limits.end()) {
    it->second = max_microcents;
  } else {
    limits.try_emplace(std::make_shared<const std::string>(tenant), max_microcents);
  }
  return {};
}

std::atomic<int64_t>* BudgetEngine::find_cell(Guarded<TenantMap<Cell>>& map, const TenantKey& key) {
  Hold l(map.mu);
  auto it = map.value.find(key);
  return it == map.value.end() ? nullptr : &it->second.value;
}

TopUpOutcome BudgetEngine::top_up_tenant(std::string_view tenant, int64_t amount) {
  using K = TopUpOutcome::Kind;
  if (amount <= 0) return {K::InvalidAmount};
  const TenantKey key(tenant);
  std::shared_lock gate(ledger_lock_);
  std::atomic<int64_t>* remaining = find_cell(remaining_by_tenant_, key);
  if (remaining == nullptr) return {K::MissingTenant};
  Hold l(initial_by_tenant_.mu);
  auto it = initial_by_tenant_.value.find(key);
  if (it == initial_by_tenant_.value.end()) return {K::MissingTenant};
  auto new_initial = checked_add(it->second, amount);
  if (!new_initial) return {K::Overflow};
  int64_t cur = remaining->load();
  int64_t next;
  for (;;) {
    auto sum = checked_add(cur, amount);
    if (!sum) return {K::Overflow};
    next = *sum;
    if (remaining->compare_exchange_weak(cur, next)) break;
  }
  it->second = *new_initial;
  return {K::ToppedUp, amount, *new_initial, next};
}

ReserveOutcome BudgetEngine::try_reserve(std::string_view tenant, int64_t amount) {
  using K = ReserveOutcome::Kind;
  if (amount <= 0) return {.kind = K::Insufficient, .remaining = 0, .required = amount};
  const TenantKey key(tenant);
  std::shared_lock gate(ledger_lock_);
  std::atomic<int64_t>* remaining;
  std::atomic<int64_t>* reserved;
  const TenantName* name;
  {
    Hold l1(remaining_by_tenant_.mu);
    Hold l2(reserved_by_tenant_.mu);
    auto r = remaining_by_tenant_.value.find(key);
    auto s = reserved_by_tenant_.value.find(key);
    if (r == remaining_by_tenant_.value.end() || s == reserved_by_tenant_.value.end()) {
      return {.kind = K::MissingTenant};
    }
    remaining = &r->second.value;
    reserved = &s->second.value;
    name = &r->first;
  }
  int64_t limit = 0;
  {
    Hold l(max_reserved_by_tenant_.mu);
    auto it = max_reserved_by_tenant_.value.find(key);
    if (it != max_reserved_by_tenant_.value.end()) limit = it->second;
  }

  // Raise reserved first, so concurrent reservations of one tenant cannot
  // together pass its limit.
  int64_t cur = reserved->load();
  for (;;) {
    auto next = checked_add(cur, amount);
    if (!next) return {.kind = K::Overflow, .current_reserved = reserved->load()};
    if (limit > 0 && *next > limit) {
      return {.kind = K::ExposureLimitExceeded, .current_reserved = cur, .max_reserved = limit};
    }
    if (reserved->compare_exchange_weak(cur, *next)) break;
  }

  auto id = allocate_id();
  if (!id) {
    int64_t after = reserved->fetch_sub(amount) - amount;
    return {.kind = K::Overflow, .current_reserved = after};
  }

  int64_t rem = remaining->load();
  for (;;) {
    if (rem < amount) {
      reserved->fetch_sub(amount);
      return {.kind = K::Insufficient, .remaining = rem, .required = amount};
    }
    if (remaining->compare_exchange_weak(rem, rem - amount)) break;
  }

  try {
    Hold l(reservations_.mu);
    // Ids are never handed out twice, so the id is new to the map.
    reservations_.value.try_emplace(*id, ReservationRecord{*name, amount, key.hash});
  } catch (...) {
    // No record means no reservation: hand the money back before the
    // failure propagates, so the ledgers are as they were (the id stays
    // consumed, as for a refusal by the balance).
    remaining->fetch_add(amount);
    reserved->fetch_sub(amount);
    throw;
  }
  return {.kind = K::Reserved, .reservation_id = *id, .remaining = rem - amount};
}

Settlement BudgetEngine::commit(uint64_t reservation_id, int64_t actual) {
  using K = Settlement::Kind;
  if (actual < 0) return {K::InvalidAmount};
  std::shared_lock gate(ledger_lock_);
  // Held to the end: the record is found first and erased only once the
  // commit is certain, which under this mutex is the same to every observer
  // as taking it out and putting it back, and needs no allocation to undo.
  Hold hold_reservations(reservations_.mu);
  auto rec = reservations_.value.find(reservation_id);
  if (rec == reservations_.value.end()) return {K::MissingReservation};
  const TenantKey key(*rec->second.tenant, rec->second.tenant_hash);
  const int64_t amount = rec->second.amount;

  std::atomic<int64_t>* remaining = find_cell(remaining_by_tenant_, key);
  if (remaining == nullptr) return {K::MissingTenant};
  int64_t delta;
  {
    Hold l(committed_by_tenant_.mu);
    auto& committed = committed_by_tenant_.value;
    auto it = committed.find(key);
    if (it == committed.end()) {
      // Every tenant has a committed entry; should one be missing, it counts
      // as 0. Insert it now, while nothing has changed, so the store below
      // cannot fail.
      it = committed.try_emplace(rec->second.tenant, 0).first;
    }
    auto new_committed = checked_add(it->second, actual);
    if (!new_committed) return {K::Overflow, remaining->load()};
    // Cannot overflow: actual >= 0 and amount >= 1.
    delta = actual - amount;
    if (delta > 0) {
      int64_t rem = remaining->load();
      for (;;) {
        if (rem < delta) return {K::Overrun, rem};
        if (remaining->compare_exchange_weak(rem, rem - delta)) break;
      }
    }
    it->second = *new_committed;
  }
  // The unspent part of the reservation goes back to the tenant.
  if (delta < 0) remaining->fetch_add(-delta);
  if (auto* reserved = find_cell(reserved_by_tenant_, key)) reserved->fetch_sub(amount);
  const int64_t remaining_after = remaining->load();
  reservations_.value.erase(rec);
  return {K::Committed, remaining_after, actual};
}

Settlement BudgetEngine::release(uint64_t reservation_id) {
  using K = Settlement::Kind;
  std::shared_lock gate(ledger_lock_);
  Hold hold_reservations(reservations_.mu);
  auto rec = reservations_.value.find(reservation_id);
  if (rec == reservations_.value.end()) return {K::MissingReservation};
  const TenantKey key(*rec->second.tenant, rec->second.tenant_hash);
  const int64_t amount = rec->second.amount;

  std::atomic<int64_t>* remaining = find_cell(remaining_by_tenant_, key);
  if (remaining == nullptr) return {K::MissingTenant};
  if (auto* reserved = find_cell(reserved_by_tenant_, key)) reserved->fetch_sub(amount);
  const int64_t remaining_after = remaining->fetch_add(amount) + amount;
  reservations_.value.erase(rec);
  return {K::Released, remaining_after, amount};
}

std::optional<int64_t> BudgetEngine::initial_microcents(std::string_view tenant) const {
  return point_read(initial_by_tenant_, tenant);
}

std::optional<int64_t> BudgetEngine::remaining_microcents(std::string_view tenant) const {
  return point_read(remaining_by_tenant_, tenant);
}

std::optional<int64_t> BudgetEngine::reserved_microcents(std::string_view tenant) const {
  return point_read(reserved_by_tenant_, tenant);
}

std::optional<int64_t> BudgetEngine::committed_microcents(std::string_view tenant) const {
  return point_read(committed_by_tenant_, tenant);
}

uint64_t BudgetEngine::tenant_count() const {
  Hold l(remaining_by_tenant_.mu);
  return remaining_by_tenant_.value.size();
}

uint64_t BudgetEngine::active_reservations() const {
  Hold l(reservations_.mu);
  return reservations_.value.size();
}

std::expected<BudgetSnapshot, SnapshotAllocatorError> BudgetEngine::try_snapshot() {
  std::unique_lock gate(ledger_lock_);
  Hold l1(reservations_.mu);
  Hold l2(remaining_by_tenant_.mu);
  Hold l3(initial_by_tenant_.mu);
  Hold l4(committed_by_tenant_.mu);
  Hold l5(reserved_by_tenant_.mu);

  // Rows first: if copying them fails, the allocator has not moved.
  BudgetSnapshot snap;
  snap.tenants.reserve(remaining_by_tenant_.value.size());
  auto entry = [](const TenantMap<int64_t>& map, const TenantName& name) -> int64_t {
    auto it = map.find(name);
    return it == map.end() ? 0 : it->second;
  };
  for (const auto& [name, cell] : remaining_by_tenant_.value) {
    auto reserved = reserved_by_tenant_.value.find(name);
    snap.tenants.push_back(TenantLedger{
        *name, entry(initial_by_tenant_.value, name), cell.value.load(),
        reserved == reserved_by_tenant_.value.end() ? 0 : reserved->second.value.load(),
        entry(committed_by_tenant_.value, name)});
  }
  // Ids are unique keys, so any sort is the stable one.
  std::sort(snap.tenants.begin(), snap.tenants.end(),
            [](const TenantLedger& a, const TenantLedger& b) { return a.tenant_id < b.tenant_id; });

  uint64_t v = next_reservation_id_.load();
  do {
    if (v >= kAllocatorLimit) return std::unexpected(SnapshotAllocatorError::AllocatorExhausted);
  } while (!next_reservation_id_.compare_exchange_weak(v, v + 1));
  snap.version = kRecoveryAwareVersionBit + (v + 1);
  snap.active_reservations = reservations_.value.size();
  return snap;
}

std::expected<ConservationStatus, SnapshotAllocatorError> BudgetEngine::verify_conservation() {
  auto snap = try_snapshot();
  if (!snap) return std::unexpected(snap.error());
  return conservation_status(snap->tenants);
}

std::expected<ConservationProof, ProofError> BudgetEngine::prove_conservation() {
  auto snap = try_snapshot();
  if (!snap) return std::unexpected(ProofError{ProofError::Kind::AllocatorExhausted});
  ConservationStatus status = conservation_status(snap->tenants);
  if (!status.is_balanced()) {
    return std::unexpected(ProofError{ProofError::Kind::NotBalanced, std::move(status)});
  }
  WideTotals totals = wide_totals(snap->tenants);
  if (!totals.representable()) {
    return std::unexpected(
        ProofError{ProofError::Kind::NotBalanced, ConservationStatus::aggregate_overflow()});
  }
  ConservationProof proof;
  proof.ledger_digest = ledger_digest(*snap);
  proof.snapshot_version = snap->version;
  proof.tenant_count = snap->tenants.size();
  proof.active_reservations = snap->active_reservations;
  proof.total_initial = static_cast<int64_t>(totals.initial);
  proof.total_committed = static_cast<int64_t>(totals.committed);
  return proof;
}

std::expected<Certificate, SnapshotAllocatorError> BudgetEngine::certify() {
  auto snap = try_snapshot();
  if (!snap) return std::unexpected(snap.error());
  WideTotals totals = wide_totals(snap->tenants);
  const bool representable = totals.representable();
  // Everything that can fail comes before the certified total moves: a
  // certificate that is never delivered must not count the spend it saw.
  Certificate cert;
  cert.ledger_digest = ledger_digest(*snap);
  cert.conservation_balanced = conservation_status(snap->tenants).is_balanced() && representable;
  cert.aggregate_totals_representable = representable;
  cert.snapshot_version = snap->version;
  cert.tenant_count = snap->tenants.size();
  cert.active_reservations = snap->active_reservations;
  if (representable) {
    const auto total_committed = static_cast<int64_t>(totals.committed);
    cert.total_initial = static_cast<int64_t>(totals.initial);
    cert.total_committed = total_committed;
    // Taken alone, after the capture has released everything. Racing
    // certificates each report the growth past the stored total and push it
    // up, so together they count every microcent of spend exactly once.
    Hold l(last_certified_committed_.mu);
    int64_t& stored = last_certified_committed_.value;
    if (total_committed > stored) {
      // The stored total is never negative (it starts at 0 and is only set
      // from validated, non-negative ledgers), so the difference fits.
      cert.committed_since_last_certificate = total_committed - stored;
      stored = total_committed;
    }
  }
  return cert;
}

}  // namespace morvatel::budget
