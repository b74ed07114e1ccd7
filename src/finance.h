#ifndef MORVATEL_FINANCE_H_
#define MORVATEL_FINANCE_H_

// Money arithmetic in signed 64-bit microcents, and the ledger digest that
// binds a captured set of ledgers to 32 bytes.

#include <cstdint>
#include <optional>

#include "budget/ledger.h"
#include "crypto.h"

namespace morvatel {

inline constexpr int64_t kMicrocentsPerCent = 1000000;

// Sums and differences that report overflow instead of wrapping.
inline std::optional<int64_t> checked_add(int64_t a, int64_t b) {
  int64_t r;
  if (__builtin_add_overflow(a, b, &r)) return std::nullopt;
  return r;
}

inline std::optional<int64_t> checked_sub(int64_t a, int64_t b) {
  int64_t r;
  if (__builtin_sub_overflow(a, b, &r)) return std::nullopt;
  return r;
}

// SHA-256 over this layout, integers little-endian, nothing between fields:
// "morvldg1", 0x00; version, the row count and active_reservations
// (uint64_t each); every row in ascending byte order of tenant_id (whatever
// order the snapshot holds them in) as the id's length (uint32_t), its
// bytes, then initial, remaining, reserved and committed microcents
// (int64_t each); and, only when there is a watermark, the text
// "morvatel.ledger.wal-watermark.v1", 0x00 and the watermark (uint64_t).
// No presence byte marks the watermark: the tag after the last row does.
// Each tenant id must be shorter than 2^32 bytes; the engine
// refuses longer ids when a tenant is created, and snapshot files are far
// smaller than that.
Digest32 ledger_digest(const budget::BudgetSnapshot& snapshot);

}  // namespace morvatel

#endif  // MORVATEL_FINANCE_H_
