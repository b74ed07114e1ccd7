// Recovery planning over hand-made logs: the outcomes and, since a caller
// decides what to replay from them, the exact texts of every refusal and
// which fault wins when several are present.

#include "recovery_plan.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "fs.h"
#include "persistence.h"

namespace morvatel {
namespace {

constexpr uint64_t kTag = uint64_t{1} << 63;
const std::string kKey(32, 'k');

class RecoveryPlanTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/morvatel-plan-XXXXXX";
    dir_ = ::mkdtemp(tmpl);
    snapshot_ = join_path(dir_, "snap.json");
    log_ = join_path(dir_, "log.jsonl");
  }
  void TearDown() override { std::system(("rm -rf '" + dir_ + "'").c_str()); }

  void save(std::optional<uint64_t> watermark, uint64_t version = kTag + 5) {
    budget::BudgetSnapshot s;
    s.version = version;
    s.tenants = {budget::TenantLedger{"a", 10, 6, 0, 4}};
    s.wal_high_watermark = watermark;
    ASSERT_TRUE(save_snapshot(snapshot_, s));
  }

  // Appends `n` entries whose data is `data`, chained from the current head.
  void append(int n, const std::string& data = R"({"n":1})", wal::WalKey key = std::nullopt) {
    std::ofstream out(log_, std::ios::app | std::ios::binary);
    for (int i = 0; i < n; ++i) {
      std::string hash = *wal::compute_hash(head_.last_hash, data, key);
      out << wal::format_line(head_.sequence + 1, head_.last_hash, hash, data);
      head_ = wal::WalHead{head_.sequence + 1, hash};
    }
  }

  std::expected<RecoveryPlan, PersistenceError> plan(wal::WalKey key = std::nullopt,
                                                     const wal::WalAnchor* anchor = nullptr) {
    return recovery_plan_inner(snapshot_, log_, key, anchor);
  }

  std::string message(wal::WalKey key = std::nullopt, const wal::WalAnchor* anchor = nullptr) {
    auto r = plan(key, anchor);
    return r ? "planned" : r.error().message();
  }

  std::string dir_, snapshot_, log_;
  wal::WalHead head_;
};

struct Counts {
  std::optional<uint64_t> watermark;
  int entries;
  uint64_t replay;
};

class PlanCounts : public RecoveryPlanTest, public ::testing::WithParamInterface<Counts> {};

TEST_P(PlanCounts, ReplayWhatLiesBeyondTheWatermark) {
  const Counts& c = GetParam();
  save(c.watermark);
  append(0);  // the log file exists even when empty
  append(c.entries);
  auto r = plan();
  ASSERT_TRUE(r) << r.error().message();
  EXPECT_EQ(r->total_wal_entries, static_cast<uint64_t>(c.entries));
  EXPECT_EQ(r->entries_to_replay, c.replay);
  EXPECT_EQ(r->wal_high_watermark, c.watermark.value_or(0));
  EXPECT_EQ(r->snapshot.wal_high_watermark, c.watermark);
  EXPECT_EQ(r->snapshot.tenants.size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(All, PlanCounts,
                         ::testing::Values(Counts{std::nullopt, 5, 5}, Counts{5, 5, 0},
                                           Counts{5, 8, 3}, Counts{0, 3, 3},
                                           Counts{std::nullopt, 0, 0}, Counts{0, 0, 0}));

TEST_F(RecoveryPlanTest, WatermarkAheadOfTheHeadWinsOverTheAnchor) {
  save(6);
  append(5);
  wal::WalAnchor stale = wal::WalAnchor::of_head(wal::WalHead{2, "x"}, false);
  EXPECT_EQ(message(std::nullopt, &stale),
            "I/O error: snapshot WAL watermark 6 is ahead of verified WAL head 5");
}

TEST_F(RecoveryPlanTest, SnapshotFaultsComeBeforeTheLog) {
  append(1);
  {
    std::ofstream(log_, std::ios::app) << "not json\n";  // a broken log too
  }
  save(std::nullopt, 5);
  EXPECT_EQ(message(), "restore error: tenant <snapshot-metadata> has negative "
                       "recovery-aware version tag: 5");
  budget::BudgetSnapshot bad;
  bad.version = kTag + 1;
  bad.tenants = {budget::TenantLedger{"a", 10, 6, 0, 3}};
  ASSERT_TRUE(save_snapshot(snapshot_, bad));
  EXPECT_EQ(message(), "restore error: snapshot failed conservation: conservation violated "
                       "for tenant a: delta=-1 microcents");
  std::ofstream(snapshot_, std::ios::trunc) << "{}";
  EXPECT_EQ(message(), "JSON error: missing field `version` at line 1 column 2");
  ::unlink(snapshot_.c_str());
  EXPECT_EQ(message(), "I/O error: No such file or directory (os error 2)");
}

TEST_F(RecoveryPlanTest, LogFaultsNestTheirText) {
  save(std::nullopt);
  EXPECT_EQ(message(), "I/O error: WAL I/O error: No such file or directory (os error 2)");
  EXPECT_FALSE(::access(log_.c_str(), F_OK) == 0) << "the log must not be created";

  append(2, R"({"n":1})", kKey);
  std::string first_hash = *wal::compute_hash("genesis", R"({"n":1})", kKey);
  std::string plain_hash = *wal::compute_hash("genesis", R"({"n":1})", std::nullopt);
  EXPECT_EQ(message(), "I/O error: WAL chain broken at sequence 1: expected " + plain_hash +
                           ", found " + first_hash);
  EXPECT_EQ(plan(kKey)->total_wal_entries, 2u);
  EXPECT_EQ(message(std::string_view(kKey).substr(1)),
            "I/O error: WAL I/O error: WAL HMAC key must be at least 32 bytes, found 31");
}

TEST_F(RecoveryPlanTest, DataMustAlsoReadAsAGenericValue) {
  save(std::nullopt);
  append(1);
  // Valid number syntax, so the chain (which hashes the raw text) passes,
  // but no double holds it.
  append(1, R"({"x":1e999})");
  append(1);
  auto r = plan();
  ASSERT_FALSE(r);
  // Reported at the second line, after its chain tests passed.
  EXPECT_TRUE(r.error().message().starts_with("I/O error: WAL JSON error: ")) << r.error().message();
  EXPECT_NE(r.error().message().find(" at line 1 column "), std::string::npos) << r.error().message();
  EXPECT_EQ(wal::validate_chain_inner(log_, std::nullopt)->sequence, 3u);
}

TEST_F(RecoveryPlanTest, AnchorMustMatchTheHeadAndTheMode) {
  save(1);
  append(3);
  wal::WalAnchor at_head = wal::WalAnchor::of_head(head_, false);
  auto ok = plan(std::nullopt, &at_head);
  ASSERT_TRUE(ok);
  EXPECT_EQ(ok->entries_to_replay, 2u);

  wal::WalHead old = head_;
  append(1);
  wal::WalAnchor stale = wal::WalAnchor::of_head(old, false);
  EXPECT_EQ(message(std::nullopt, &stale),
            "I/O error: WAL I/O error: WAL anchor mismatch: expected sequence 3 hash " +
                old.last_hash + ", found sequence 4 hash " + head_.last_hash);
  wal::WalAnchor keyed = wal::WalAnchor::of_head(head_, true);
  EXPECT_EQ(message(std::nullopt, &keyed),
            "I/O error: WAL I/O error: WAL anchor keyed mode does not match verifier mode");
  wal::WalAnchor other = wal::WalAnchor::of_head(head_, false);
  other.schema_version = "v0";
  EXPECT_EQ(message(std::nullopt, &other),
            "I/O error: WAL I/O error: unknown WAL anchor schema: v0");
}

}  // namespace
}  // namespace morvatel
