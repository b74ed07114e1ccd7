#ifndef MORVATEL_BUDGET_LOCK_ORDER_H_
#define MORVATEL_BUDGET_LOCK_ORDER_H_

// The budget engine's mutexes, each with its place in the one global order
// in which they may be taken. Two operations that took two of them in
// opposite orders could deadlock; every lock checks the order on the spot,
// so a wrong order fails the first test that exercises it instead of
// hanging once in production.

#include <cstdint>
#include <mutex>

namespace morvatel::budget {

// Lower ranks are taken first.
enum class LockRank : uint8_t {
  Reservations = 1,
  RemainingByTenant,
  InitialByTenant,
  CommittedByTenant,
  ReservedByTenant,
  MaxReservedByTenant,
  LastCertifiedCommitted,
};

class RankedMutex {
 public:
  explicit RankedMutex(LockRank rank) : rank_(rank) {}
  RankedMutex(const RankedMutex&) = delete;
  RankedMutex& operator=(const RankedMutex&) = delete;

  // Aborts when this thread already holds a mutex of this rank or a later
  // one: that is a bug in the engine, not a condition to recover from.
  void lock();
  void unlock();

 private:
  std::mutex mu_;
  LockRank rank_;
};

// A value that may only be touched with its mutex held.
template <typename T>
struct Guarded {
  explicit Guarded(LockRank rank) : mu(rank) {}
  mutable RankedMutex mu;
  T value{};
};

using Hold = std::lock_guard<RankedMutex>;
using UniqueHold = std::unique_lock<RankedMutex>;

}  // namespace morvatel::budget

#endif  // MORVATEL_BUDGET_LOCK_ORDER_H_
