// Many threads on a few shared tenants: whatever the interleaving, no
// capture may ever see money created or lost, and the totals at the end
// must match what the callers were told. Sized to finish in seconds under
// ThreadSanitizer. Engines live on the heap: the sanitizer knows a mutex by
// its address, and stack engines of consecutive tests would reuse addresses
// for mutexes of other ranks, which it would report as inverted lock orders.

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "budget/engine.h"

namespace morvatel::budget {
namespace {

using RK = ReserveOutcome::Kind;
using SK = Settlement::Kind;

constexpr int kThreads = 4;
constexpr int kTenants = 3;
constexpr int64_t kBudget = 2'000'000;
const std::array<const char*, kTenants> kIds = {"alpha", "beta", ""};

template <typename F>
void run_threads(F&& body) {
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) threads.emplace_back(body, t);
  for (auto& th : threads) th.join();
}

TEST(BudgetStress, SharedTenantsConserveMoneyUnderMixedTraffic) {
  auto engine = std::make_unique<BudgetEngine>();
  BudgetEngine& e = *engine;
  for (const char* id : kIds) ASSERT_TRUE(e.ensure_tenant(id, kBudget));

  std::atomic<bool> done{false};
  std::atomic<int64_t> certified{0};
  std::atomic<int> captures{0};
  std::thread auditor([&] {
    // Captures take the gate exclusive: each must find every ledger whole.
    while (!done.load()) {
      auto cert = e.certify();
      ASSERT_TRUE(cert);
      EXPECT_TRUE(cert->conservation_balanced);
      certified += cert->committed_since_last_certificate;
      auto snap = e.try_snapshot();
      ASSERT_TRUE(snap);
      for (const TenantLedger& r : snap->tenants) {
        EXPECT_EQ(r.remaining_microcents + r.reserved_microcents + r.committed_microcents,
                  r.initial_microcents)
            << r.tenant_id;
        EXPECT_GE(r.remaining_microcents, 0) << r.tenant_id;
        EXPECT_GE(r.reserved_microcents, 0) << r.tenant_id;
      }
      captures += 2;
      std::this_thread::yield();
    }
  });

  // Per thread, so that counting adds no synchronisation to hide a race.
  std::vector<std::array<std::array<int64_t, kTenants>, 2>> tallies(kThreads);  // funded, committed
  run_threads([&](int t) {
    auto& tally = tallies[t];
    std::mt19937_64 rng(0x5eed + t);
    struct Open {
      uint64_t id;
      int tenant;
      int64_t amount;
    };
    std::vector<Open> open;
    auto pick = [&](size_t n) { return static_cast<size_t>(rng() % n); };
    auto drop = [&](size_t k) {
      open[k] = open.back();
      open.pop_back();
    };
    for (int i = 0; i < 15000; ++i) {
      int tenant = static_cast<int>(pick(kTenants));
      size_t op = pick(10);
      if (op < 4) {
        int64_t amount = 1 + static_cast<int64_t>(pick(5000));
        ReserveOutcome r = e.try_reserve(kIds[tenant], amount);
        if (r.kind == RK::Reserved) open.push_back({r.reservation_id, tenant, amount});
      } else if (op < 9) {
        if (open.empty()) continue;
        size_t k = pick(open.size());
        if (op < 7) {
          int64_t actual = static_cast<int64_t>(pick(2 * open[k].amount + 1));
          Settlement s = e.commit(open[k].id, actual);
          if (s.kind == SK::Committed) {
            tally[1][open[k].tenant] += actual;
            drop(k);
          } else {
            EXPECT_EQ(s.kind, SK::Overrun);
          }
        } else {
          Settlement s = e.release(open[k].id);
          EXPECT_EQ(s.kind, SK::Released);
          EXPECT_EQ(s.amount, open[k].amount);
          drop(k);
        }
      } else if (pick(8) == 0) {
        // Takes the gate exclusive: limits change under traffic.
        ASSERT_TRUE(e.set_max_reserved_microcents(
            kIds[tenant], pick(2) ? 0 : static_cast<int64_t>(20000 + pick(50000))));
      } else {
        int64_t amount = 1 + static_cast<int64_t>(pick(1000));
        ASSERT_EQ(e.top_up_tenant(kIds[tenant], amount).kind, TopUpOutcome::Kind::ToppedUp);
        tally[0][tenant] += amount;
      }
    }
    for (const Open& o : open) EXPECT_EQ(e.release(o.id).kind, SK::Released);
  });
  done = true;
  auditor.join();

  EXPECT_EQ(e.active_reservations(), 0u);
  int64_t total_committed = 0;
  for (int k = 0; k < kTenants; ++k) {
    int64_t funded = kBudget, committed = 0;
    for (const auto& tally : tallies) funded += tally[0][k], committed += tally[1][k];
    total_committed += committed;
    EXPECT_EQ(e.initial_microcents(kIds[k]), funded);
    EXPECT_EQ(e.committed_microcents(kIds[k]), committed);
    EXPECT_EQ(e.reserved_microcents(kIds[k]), 0);
    EXPECT_EQ(e.remaining_microcents(kIds[k]), funded - committed);
  }
  auto last = e.certify();
  ASSERT_TRUE(last);
  EXPECT_TRUE(last->conservation_balanced);
  EXPECT_EQ(certified.load() + last->committed_since_last_certificate, total_committed);
  EXPECT_GT(captures.load(), 0);
}

TEST(BudgetStress, EachReservationSettlesExactlyOnce) {
  // Every thread tries to settle every reservation; exactly one wins each.
  auto engine = std::make_unique<BudgetEngine>();
  BudgetEngine& e = *engine;
  ASSERT_TRUE(e.ensure_tenant("t", 10'000'000));
  constexpr int kReservations = 3000;
  std::vector<uint64_t> ids;
  for (int i = 0; i < kReservations; ++i) {
    ReserveOutcome r = e.try_reserve("t", 10);
    ASSERT_EQ(r.kind, RK::Reserved);
    ids.push_back(r.reservation_id);
  }
  std::vector<std::atomic<int>> wins(kReservations);
  std::atomic<int64_t> committed{0};
  run_threads([&](int t) {
    for (int i = 0; i < kReservations; ++i) {
      int k = (i + t * 997) % kReservations;
      Settlement s = (t % 2 == 0) ? e.commit(ids[k], 7) : e.release(ids[k]);
      if (s.kind == SK::Committed) committed += 7;
      if (s.kind == SK::Committed || s.kind == SK::Released) {
        ++wins[k];
      } else {
        EXPECT_EQ(s.kind, SK::MissingReservation);
      }
    }
  });
  for (int k = 0; k < kReservations; ++k) EXPECT_EQ(wins[k].load(), 1) << k;
  EXPECT_EQ(e.committed_microcents("t"), committed.load());
  EXPECT_EQ(e.remaining_microcents("t"), 10'000'000 - committed.load());
  EXPECT_EQ(e.reserved_microcents("t"), 0);
}

TEST(BudgetStress, ConcurrentReservationsNeverPassTheLimit) {
  auto engine = std::make_unique<BudgetEngine>();
  BudgetEngine& e = *engine;
  ASSERT_TRUE(e.ensure_tenant("t", 1'000'000));
  ASSERT_TRUE(e.set_max_reserved_microcents("t", 5000));
  std::atomic<int64_t> granted{0};
  run_threads([&](int) {
    for (int i = 0; i < 2000; ++i) {
      ReserveOutcome r = e.try_reserve("t", 7);
      if (r.kind == RK::Reserved) {
        granted += 7;
      } else {
        EXPECT_EQ(r.kind, RK::ExposureLimitExceeded);
        EXPECT_LE(r.current_reserved, 5000);
      }
    }
  });
  EXPECT_EQ(granted.load(), 5000 / 7 * 7);
  EXPECT_EQ(e.reserved_microcents("t"), granted.load());
  EXPECT_EQ(e.remaining_microcents("t"), 1'000'000 - granted.load());
}

// Restores racing ledger traffic. A restore swaps every map under the
// exclusive gate; operations on either side of it must see a whole engine,
// so every capture balances and the money of reservations cut off by a
// restore is simply gone with the state it belonged to.
TEST(BudgetRestore, RacesLedgerTrafficWithoutTearing) {
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
