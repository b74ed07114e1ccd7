// Drives the budget engine with a sequence of operations decoded from the
// input, one byte naming the operation (byte % 9) and its tenant
// (byte / 9 % 4) and the bytes after it its arguments, and checks after every operation that the ledgers conserve
// money: remaining + reserved + committed = initial for every tenant, the
// proof's totals agree with the point reads, and no reservation is lost or
// invented.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_check.h"
#include "budget/engine.h"
#include "budget/ledger.h"
#include "persistence.h"

namespace {

using namespace morvatel::budget;
using morvatel::fuzzing::check;

class Input {
 public:
  Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool empty() const { return pos_ >= size_; }
  uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
  // An amount: mostly small, so that operations meet each other's balances,
  // sometimes anywhere in 64 bits, so that the edges are reached.
  int64_t amount() {
    uint8_t tag = byte();
    if (tag < 200) return tag;
    if (tag < 240) return static_cast<int64_t>(byte()) << 8 | byte();
    uint64_t v = 0;
    for (int i = 0; i < 8; ++i) v = v << 8 | byte();
    return static_cast<int64_t>(v);
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

constexpr std::string_view kTenants[] = {"a", "b", "tenant-c", ""};

// The engine's state as the point reads and the proof see it.
void check_conserved(BudgetEngine& engine, uint64_t expected_reservations) {
  auto status = engine.verify_conservation();
  if (!status) return;  // an exhausted allocator takes no capture
  check(status->is_balanced());
  check(engine.active_reservations() == expected_reservations);
  __int128 initial = 0;
  __int128 committed = 0;
  for (std::string_view t : kTenants) {
    auto i = engine.initial_microcents(t);
    if (!i) continue;
    auto r = engine.remaining_microcents(t);
    auto s = engine.reserved_microcents(t);
    auto c = engine.committed_microcents(t);
    check(r && s && c);
    check(*r >= 0 && *s >= 0 && *c >= 0);
    check(static_cast<__int128>(*r) + *s + *c == *i);
    initial += *i;
    committed += *c;
  }
  constexpr __int128 kMax = std::numeric_limits<int64_t>::max();
  const bool totals_fit = initial <= kMax && committed <= kMax;
  auto proof = engine.prove_conservation();
  if (!proof) {
    // Balanced ledgers are refused a proof only when their totals do not
    // fit in 64 bits.
    check(proof.error().kind == ProofError::Kind::AllocatorExhausted ||
          (proof.error().status.kind() == ConservationStatus::Kind::AggregateOverflow &&
           !totals_fit));
    return;
  }
  check(totals_fit);
  check(proof->tenant_count == engine.tenant_count());
  check(proof->active_reservations == expected_reservations);
  check(proof->total_initial == initial && proof->total_committed == committed);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Input in(data, size);
  // Most runs start a fresh allocator; some start it near its limit so
  // that exhaustion is reached.
  const uint8_t start = in.byte();
  BudgetEngine engine(start < 240 ? 1 : kAllocatorLimit - (start - 240));
  std::vector<uint64_t> open;  // reservation ids believed open
  uint64_t last_id = 0;

  for (int ops = 0; !in.empty() && ops < 256; ++ops) {
    const uint8_t op = in.byte();
    const std::string_view tenant = kTenants[(op / 9) % 4];
    switch (op % 9) {
      case 0: (void)engine.ensure_tenant(tenant, in.amount()); break;
      case 1: (void)engine.set_max_reserved_microcents(tenant, in.amount()); break;
      case 2: (void)engine.top_up_tenant(tenant, in.amount()); break;
      case 3: {
        ReserveOutcome r = engine.try_reserve(tenant, in.amount());
        if (r.kind == ReserveOutcome::Kind::Reserved) {
          check(r.reservation_id > last_id);
          last_id = r.reservation_id;
          open.push_back(r.reservation_id);
        }
        break;
      }
      case 4:
      case 5: {
        // Settle an open reservation, or (sometimes) an id never handed out.
        uint8_t pick = in.byte();
        uint64_t id = open.empty() || pick == 255 ? last_id + 1 + pick : open[pick % open.size()];
        Settlement s = (op % 9 == 4) ? engine.commit(id, in.amount()) : engine.release(id);
        bool was_open = std::erase(open, id) > 0;
        using K = Settlement::Kind;
        if (s.kind == K::Committed || s.kind == K::Released) {
          check(was_open);
        } else if (s.kind == K::MissingReservation) {
          check(!was_open);
        } else if (was_open) {
          open.push_back(id);  // refused settlements leave the reservation open
        }
        break;
      }
      case 6: (void)engine.try_snapshot(); break;
      case 7: (void)engine.certify(); break;
      case 8: {
        // Restore the engine's own capture once nothing is reserved, as a
        // checkpoint followed by recovery would.
        auto snap = engine.try_snapshot();
        if (!snap || !morvatel::check_recovery_aware_version(*snap)) break;
        if (!validate_snapshot_ledger(*snap)) {
          check(!open.empty());
          break;
        }
        engine.restore(*snap);
        break;
      }
    }
    check_conserved(engine, open.size());
  }
  return 0;
}
