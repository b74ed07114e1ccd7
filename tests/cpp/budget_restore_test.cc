// Restoring an engine from a snapshot: the snapshot file's exact text, and
// restores racing ledger traffic. A restore swaps every map under the
// exclusive gate; operations on either side of it must see a whole engine,
// so every capture balances and the money of reservations cut off by a
// restore is simply gone with the state it belonged to.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "budget/engine.h"
#include "budget/migration.h"
#include "fs.h"
#include "persistence.h"

namespace morvatel {
namespace {

using budget::BudgetEngine;
using budget::BudgetSnapshot;
using budget::TenantLedger;

constexpr uint64_t kTag = uint64_t{1} << 63;

class TempDir {
 public:
  TempDir() {
    char tmpl[] = "/tmp/morvatel-restore-XXXXXX";
    path_ = ::mkdtemp(tmpl);
  }
  ~TempDir() { std::system(("rm -rf '" + path_ + "'").c_str()); }
  std::string operator/(std::string_view name) const { return join_path(path_, name); }

 private:
  std::string path_;
};

std::string slurp(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(f)), {});
}

TEST(SnapshotFile, ExactText) {
  TempDir dir;
  BudgetSnapshot s;
  s.version = kTag + 3;
  s.tenants = {TenantLedger{"q\"\\\n\x01\x7f\xc3\xa9", 10, -4, 0, 14},
               TenantLedger{"", 0, 0, 0, 0}};
  s.active_reservations = 2;
  ASSERT_TRUE(save_snapshot(dir / "s.json", s));
  EXPECT_EQ(slurp(dir / "s.json"),
            "{\n"
            "  \"version\": 9223372036854775811,\n"
            "  \"tenants\": [\n"
            "    {\n"
            "      \"tenant_id\": \"q\\\"\\\\\\n\\u0001\x7f\xc3\xa9\",\n"
            "      \"initial_microcents\": 10,\n"
            "      \"remaining_microcents\": -4,\n"
            "      \"reserved_microcents\": 0,\n"
            "      \"committed_microcents\": 14\n"
            "    },\n"
            "    {\n"
            "      \"tenant_id\": \"\",\n"
            "      \"initial_microcents\": 0,\n"
            "      \"remaining_microcents\": 0,\n"
            "      \"reserved_microcents\": 0,\n"
            "      \"committed_microcents\": 0\n"
            "    }\n"
            "  ],\n"
            "  \"active_reservations\": 2,\n"
            "  \"wal_high_watermark\": null\n"
            "}");
  // Read back exactly, row order and invalid ledgers included.
  auto back = load_snapshot(dir / "s.json");
  ASSERT_TRUE(back);
  EXPECT_EQ(*back, s);
}

TEST(SnapshotFile, VersionTagBoundaries) {
  struct Case {
    uint64_t version;
    bool valid;
    int64_t shown;
  };
  for (const Case& c : {Case{kTag + 1, true, 0}, Case{~uint64_t{0}, true, 0},
                        Case{kTag, false, INT64_MAX}, Case{kTag - 1, false, INT64_MAX},
                        Case{kTag - 2, false, INT64_MAX - 1}, Case{0, false, 0}}) {
    BudgetSnapshot s;
    s.version = c.version;
    auto r = check_recovery_aware_version(s);
    EXPECT_EQ(r.has_value(), c.valid) << c.version;
    if (!r) {
      EXPECT_EQ(r.error().value(), c.shown);
      EXPECT_EQ(r.error().message(), "tenant <snapshot-metadata> has negative recovery-aware "
                                     "version tag: " + std::to_string(c.shown));
    }
  }
}

TEST(SnapshotFile, MigrationChecksInOrder) {
  BudgetSnapshot s;
  s.version = kTag + 9;
  s.active_reservations = 1;
  // Recovery-aware first, then the id, then the ledgers.
  EXPECT_EQ(budget::migrate_legacy_snapshot(s, 0).error().kind(),
            budget::LegacySnapshotMigrationError::Kind::AlreadyRecoveryAware);
  s.version = 4;
  EXPECT_EQ(budget::migrate_legacy_snapshot(s, kTag).error().kind(),
            budget::LegacySnapshotMigrationError::Kind::TrustedIdOutOfRange);
  EXPECT_EQ(budget::migrate_legacy_snapshot(s, 1).error().kind(),
            budget::LegacySnapshotMigrationError::Kind::Restore);
  s.active_reservations = 0;
  s.wal_high_watermark = 3;
  auto m = budget::migrate_legacy_snapshot(s, kTag - 1);
  ASSERT_TRUE(m);
  EXPECT_EQ(m->version, ~uint64_t{0});
  EXPECT_EQ(m->wal_high_watermark, 3u);
}

TEST(BudgetRestore, RacesLedgerTrafficWithoutTearing) {
  // On the heap: see budget_stress_test.cc on sanitizers and mutex addresses.
  auto engine = std::make_unique<BudgetEngine>();
  BudgetEngine& e = *engine;
  const std::vector<std::string> ids = {"a", "b", "c"};
  for (const auto& id : ids) ASSERT_TRUE(e.ensure_tenant(id, 1'000'000));

  BudgetSnapshot target;
  target.version = kTag + 1'000'000;
  for (const auto& id : ids) target.tenants.push_back(TenantLedger{id, 500, 400, 0, 100});
  target.tenants.push_back(TenantLedger{"only-restored", 7, 7, 0, 0});
  ASSERT_TRUE(budget::validate_snapshot_ledger(target));

  std::atomic<bool> done{false};
  std::vector<std::thread> workers;
  for (int t = 0; t < 3; ++t) {
    workers.emplace_back([&, t] {
      std::mt19937 rng(t);
      for (int i = 0; i < 4000; ++i) {
        const std::string& id = ids[rng() % ids.size()];
        auto r = e.try_reserve(id, 1 + rng() % 50);
        if (r.kind != budget::ReserveOutcome::Kind::Reserved) continue;
        // A restore in between wipes the reservation: the settlement then
        // finds nothing, which is the only outcome besides success.
        auto s = rng() % 2 ? e.commit(r.reservation_id, rng() % 60) : e.release(r.reservation_id);
        EXPECT_TRUE(s.kind == budget::Settlement::Kind::Committed ||
                    s.kind == budget::Settlement::Kind::Released ||
                    s.kind == budget::Settlement::Kind::Overrun ||
                    s.kind == budget::Settlement::Kind::MissingReservation);
        if (s.kind == budget::Settlement::Kind::Overrun) e.release(r.reservation_id);
      }
    });
  }
  std::thread restorer([&] {
    int n = 0;
    while (!done.load()) {
      e.restore(target);
      auto status = e.verify_conservation();
      ASSERT_TRUE(status);
      EXPECT_TRUE(status->is_balanced()) << status->message();
      ++n;
    }
    EXPECT_GT(n, 0);
  });
  for (auto& w : workers) w.join();
  done = true;
  restorer.join();

  auto snap = e.try_snapshot();
  ASSERT_TRUE(snap);
  EXPECT_EQ(snap->active_reservations, 0u);
  ASSERT_TRUE(budget::validate_snapshot_ledger(*snap)) << "ledgers after the race";
  EXPECT_EQ(snap->tenants.size(), 4u);
}

}  // namespace
}  // namespace morvatel
