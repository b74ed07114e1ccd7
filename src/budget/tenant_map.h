#ifndef MORVATEL_BUDGET_TENANT_MAP_H_
#define MORVATEL_BUDGET_TENANT_MAP_H_

// The hash maps of the budget engine. Tenant ids come from callers, so the
// tenant maps hash with a key drawn at random once per process: a caller
// who chooses ids cannot aim them at one bucket and turn every lookup into a
// walk of a long chain. Reservation ids are handed out by the engine, yet
// their map is seeded the same way for the same reason (commit and release
// take ids from callers).

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>

namespace morvatel::budget {

// A tenant id, stored once and shared by the tenant maps and by the open
// reservations of the tenant. Immutable once made.
using TenantName = std::shared_ptr<const std::string>;

// Keyed SipHash-1-3 of the id's bytes under the per-process key.
uint64_t tenant_hash(std::string_view id) noexcept;

// Keyed mix of a reservation id under the per-process key.
uint64_t reservation_hash(uint64_t id) noexcept;

// A tenant id, viewed rather than copied, with its hash, computed once
// before any mutex is taken and then used for every map the operation visits.
struct TenantKey {
  explicit TenantKey(std::string_view s) : id(s), hash(tenant_hash(s)) {}
  TenantKey(std::string_view s, uint64_t h) : id(s), hash(h) {}
  std::string_view id;
  uint64_t hash;
};

// Transparent hash and equality, so a lookup by a std::string_view needs no
// shared name.
struct TenantHash {
  using is_transparent = void;
  size_t operator()(const TenantKey& k) const noexcept { return k.hash; }
  size_t operator()(std::string_view id) const noexcept { return tenant_hash(id); }
  // Deliberately not noexcept (it never throws): a hash that might throw
  // makes the standard library keep each node's hash code in the node, so
  // lookups compare codes before bytes and rehashing never rehashes ids.
  size_t operator()(const TenantName& id) const { return tenant_hash(*id); }
};

struct TenantEqual {
  using is_transparent = void;
  static std::string_view view(std::string_view s) noexcept { return s; }
  static std::string_view view(const TenantKey& k) noexcept { return k.id; }
  static std::string_view view(const TenantName& s) noexcept { return *s; }
  template <typename A, typename B>
  bool operator()(const A& a, const B& b) const noexcept {
    return view(a) == view(b);
  }
};

template <typename V>
using TenantMap = std::unordered_map<TenantName, V, TenantHash, TenantEqual>;

struct ReservationHash {
  size_t operator()(uint64_t id) const noexcept { return reservation_hash(id); }
};

template <typename V>
using ReservationMap = std::unordered_map<uint64_t, V, ReservationHash>;

}  // namespace morvatel::budget

#endif  // MORVATEL_BUDGET_TENANT_MAP_H_
