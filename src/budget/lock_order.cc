#include "budget/lock_order.h"

#include <cstdio>
#include <cstdlib>

namespace morvatel::budget {

namespace {

// Bit r set: this thread holds a mutex of rank r.
thread_local uint32_t t_held = 0;

}  // namespace

void RankedMutex::lock() {
  const uint32_t bit = uint32_t{1} << static_cast<unsigned>(rank_);
  if ((t_held & ~(bit - 1)) != 0) {
    std::fprintf(stderr, "budget engine: mutex of rank %u taken out of order (held 0x%x)\n",
                 static_cast<unsigned>(rank_), t_held);
    std::abort();
  }
  mu_.lock();
  t_held |= bit;
}

void RankedMutex::unlock() {
  t_held &= ~(uint32_t{1} << static_cast<unsigned>(rank_));
  mu_.unlock();
}

}  // namespace morvatel::budget
