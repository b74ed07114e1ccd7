// Restores racing ledger traffic. A restore swaps every map under the
// exclusive gate; operations on either side of it must see a whole engine,
// so every capture balances and the money of reservations cut off by a
// restore is simply gone with the state it belonged to.

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "budget/engine.h"

namespace morvatel::budget {
namespace {

TEST(BudgetRestore, RacesLedgerTrafficWithoutTearing) {
  // On the heap: see budget_stress_test.cc on sanitizers and mutex addresses.
  auto engine = std::make_unique<BudgetEngine>();
  BudgetEngine& e = *engine;
  const std::vector<std::string> ids = {"a", "b", "c"};
  BudgetSnapshot target{(uint64_t{1} << 63) + 1'000'000, {}, 0, std::nullopt};
  for (const auto& id : ids) {
    ASSERT_TRUE(e.ensure_tenant(id, 1'000'000));
    target.tenants.push_back(TenantLedger{id, 500, 400, 0, 100});
  }
  target.tenants.push_back(TenantLedger{"only-restored", 7, 7, 0, 0});

  std::atomic<bool> done{false}, restoring{false};
  std::vector<std::thread> workers;
  for (int t = 0; t < 3; ++t) {
    workers.emplace_back([&, t] {
      // Start only once restores are under way, so the race is real even
      // when the machine is slow to schedule the restorer.
      while (!restoring.load()) std::this_thread::yield();
      std::mt19937 rng(t);
      for (int i = 0; i < 4000; ++i) {
        auto r = e.try_reserve(ids[rng() % ids.size()], 1 + rng() % 50);
        if (r.kind != ReserveOutcome::Kind::Reserved) continue;
        // A restore in between wipes the reservation: the settlement then
        // finds nothing, which is the only outcome besides success.
        auto s = rng() % 2 ? e.commit(r.reservation_id, rng() % 60) : e.release(r.reservation_id);
        EXPECT_NE(s.kind, Settlement::Kind::MissingTenant);
        EXPECT_NE(s.kind, Settlement::Kind::Overflow);
        if (s.kind == Settlement::Kind::Overrun) e.release(r.reservation_id);
      }
    });
  }
  std::thread restorer([&] {
    do {
      e.restore(target);
      restoring = true;
      auto status = e.verify_conservation();
      ASSERT_TRUE(status);
      EXPECT_TRUE(status->is_balanced()) << status->message();
    } while (!done.load());
  });
  for (auto& w : workers) w.join();
  done = true;
  restorer.join();

  auto snap = e.try_snapshot();
  ASSERT_TRUE(snap);
  EXPECT_EQ(snap->active_reservations, 0u);
  ASSERT_TRUE(validate_snapshot_ledger(*snap)) << "ledgers after the race";
  EXPECT_EQ(snap->tenants.size(), 4u);
}

}  // namespace
}  // namespace morvatel::budget
