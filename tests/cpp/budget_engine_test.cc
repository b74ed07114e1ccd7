#include "budget/engine.h"

#include <gtest/gtest.h>

#include <memory>

#include <string>
#include <vector>

#include "finance.h"
#include "text.h"

namespace morvatel::budget {
namespace {

using RK = ReserveOutcome::Kind;
using SK = Settlement::Kind;

constexpr uint64_t kTag = uint64_t{1} << 63;

TenantLedger row(std::string id, int64_t initial, int64_t remaining, int64_t reserved,
                 int64_t committed) {
  return TenantLedger{std::move(id), initial, remaining, reserved, committed};
}

// --- the allocator near its limit ---

TEST(BudgetAllocator, LastIdIsOneBelowTheLimitThenReservationsOverflow) {
  auto engine = std::make_unique<BudgetEngine>(kAllocatorLimit - 1);
  BudgetEngine& e = *engine;
  ASSERT_TRUE(e.ensure_tenant("a", 100));
  ReserveOutcome first = e.try_reserve("a", 10);
  ASSERT_EQ(first.kind, RK::Reserved);
  EXPECT_EQ(first.reservation_id, 9223372036854775806ULL);

  // The refused attempt leaves nothing behind: reserved is back where it was.
  ReserveOutcome refused = e.try_reserve("a", 5);
  EXPECT_EQ(refused.kind, RK::Overflow);
  EXPECT_EQ(refused.current_reserved, 10);
  EXPECT_EQ(e.reserved_microcents("a"), 10);
  EXPECT_EQ(e.remaining_microcents("a"), 90);
  EXPECT_EQ(e.active_reservations(), 1u);

  // Checks that come before the allocator still answer as usual.
  EXPECT_EQ(e.try_reserve("a", 0).kind, RK::Insufficient);
  EXPECT_EQ(e.try_reserve("nobody", 5).kind, RK::MissingTenant);
  ASSERT_TRUE(e.set_max_reserved_microcents("a", 12));
  EXPECT_EQ(e.try_reserve("a", 5).kind, RK::ExposureLimitExceeded);

  // Settling needs no id.
  EXPECT_EQ(e.commit(first.reservation_id, 4), (Settlement{SK::Committed, 96, 4}));
  EXPECT_EQ(e.reserved_microcents("a"), 0);
}

TEST(BudgetAllocator, CapturesFailOnceExhaustedAndChangeNothing) {
  auto engine = std::make_unique<BudgetEngine>(kAllocatorLimit - 1);
  BudgetEngine& e = *engine;
  ASSERT_TRUE(e.ensure_tenant("a", 7));
  auto last = e.try_snapshot();
  ASSERT_TRUE(last);
  EXPECT_EQ(last->version, 18446744073709551615ULL);  // bit 63 + the limit

  for (int i = 0; i < 2; ++i) {
    auto snap = e.try_snapshot();
    ASSERT_FALSE(snap);
    EXPECT_EQ(snap.error(), SnapshotAllocatorError::AllocatorExhausted);
    auto v = e.verify_conservation();
    ASSERT_FALSE(v);
    auto p = e.prove_conservation();
    ASSERT_FALSE(p);
    EXPECT_EQ(p.error().kind, ProofError::Kind::AllocatorExhausted);
    EXPECT_EQ(p.error().message(),
              "reservation allocator exhausted \u2014 use try_snapshot() for fallible capture: "
              "AllocatorExhausted");
    ASSERT_FALSE(e.certify());
  }
  EXPECT_EQ(infallible_capture_failure(SnapshotAllocatorError::AllocatorExhausted),
            "reservation allocator exhausted \u2014 use try_snapshot() for fallible capture: "
            "AllocatorExhausted");
  EXPECT_EQ(e.remaining_microcents("a"), 7);
  EXPECT_EQ(e.try_reserve("a", 1).kind, RK::Overflow);
}

// --- captures ---

TEST(BudgetCapture, RowsAreSortedByBytesAndVersionsAdvanceTheAllocator) {
  auto engine = std::make_unique<BudgetEngine>();
  BudgetEngine& e = *engine;
  for (const char* id : {"b", "ab", "a", "", "\xc3\xa9", "a\x01"}) ASSERT_TRUE(e.ensure_tenant(id, 3));
  auto s1 = e.try_snapshot();
  ASSERT_TRUE(s1);
  EXPECT_EQ(s1->version, kTag + 2);
  std::vector<std::string> ids;
  for (const auto& r : s1->tenants) ids.push_back(r.tenant_id);
  EXPECT_EQ(ids, (std::vector<std::string>{"", "a", "a\x01", "ab", "b", "\xc3\xa9"}));
  EXPECT_FALSE(s1->wal_high_watermark);
  auto r = e.try_reserve("b", 1);
  EXPECT_EQ(r.reservation_id, 2u);
  auto s2 = e.try_snapshot();
  EXPECT_EQ(s2->version, kTag + 4);
  EXPECT_EQ(s2->active_reservations, 1u);
}

// --- conservation status and snapshot validation ---

TEST(BudgetLedger, ConservationStatusFirstFailingRowDecides) {
  EXPECT_TRUE(conservation_status({}).is_balanced());
  std::vector<TenantLedger> rows = {row("a", 10, 5, 2, 3), row("b", 100, 50, 0, 40),
                                    row("c", 1, INT64_MAX, 1, 0)};
  ConservationStatus s = conservation_status(rows);
  EXPECT_EQ(s, ConservationStatus::violation("b", -10));
  EXPECT_EQ(s.message(), "conservation violated for tenant b: delta=-10 microcents");
  std::swap(rows[1], rows[2]);
  EXPECT_EQ(conservation_status(rows), ConservationStatus::aggregate_overflow());
  // Overflow of the final difference alone counts too.
  std::vector<TenantLedger> diff = {row("x", INT64_MIN, INT64_MAX, 0, 0)};
  EXPECT_EQ(conservation_status(diff), ConservationStatus::aggregate_overflow());
}

struct RestoreCase {
  const char* name;
  BudgetSnapshot snapshot;
  const char* message;  // nullptr: passes
};

class BudgetValidate : public ::testing::TestWithParam<RestoreCase> {};

TEST_P(BudgetValidate, FirstFailureWins) {
  const RestoreCase& c = GetParam();
  auto r = validate_snapshot_ledger(c.snapshot);
  if (c.message == nullptr) {
    EXPECT_TRUE(r) << r.error().message();
  } else {
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().message(), c.message);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Budget, BudgetValidate,
    ::testing::Values(
        RestoreCase{"empty", {kTag + 1, {}, 0, std::nullopt}, nullptr},
        RestoreCase{"balanced", {0, {row("a", 10, 4, 0, 6), row("b", 0, 0, 0, 0)}, 0, 9}, nullptr},
        RestoreCase{"open_reservations",
                    {kTag + 1, {row("a", 10, 4, 0, 6)}, 1, std::nullopt},
                    "cannot restore snapshot with 1 active reservations"},
        RestoreCase{"duplicate_before_later_fields",
                    {kTag + 1, {row("b", 1, 1, 0, 0), row("a", 1, 1, 0, 0), row("b", 1, 1, 0, 0)}, 0,
                     std::nullopt},
                    "duplicate tenant_id in snapshot: b"},
        RestoreCase{"reserved_before_negative",
                    {kTag + 1, {row("a", 4, -1, 5, 0)}, 0, std::nullopt},
                    "tenant a has reserved_microcents=5 with no active reservations"},
        RestoreCase{"negative_remaining_first",
                    {kTag + 1, {row("a", -1, -2, 0, -3)}, 0, std::nullopt},
                    "tenant a has negative remaining_microcents: -2"},
        RestoreCase{"negative_initial",
                    {kTag + 1, {row("a", -1, 0, 0, -3)}, 0, std::nullopt},
                    "tenant a has negative initial_microcents: -1"},
        RestoreCase{"negative_committed",
                    {kTag + 1, {row("a", 0, 3, 0, -3)}, 0, std::nullopt},
                    "tenant a has negative committed_microcents: -3"},
        // Field checks of every row come before conservation of any row.
        RestoreCase{"fields_before_conservation",
                    {kTag + 1, {row("a", 100, 50, 0, 40), row("b", 0, -1, 0, 1)}, 0, std::nullopt},
                    "tenant b has negative remaining_microcents: -1"},
        RestoreCase{"conservation",
                    {kTag + 1, {row("a", 100, 50, 0, 40)}, 0, std::nullopt},
                    "snapshot failed conservation: conservation violated for tenant a: "
                    "delta=-10 microcents"},
        RestoreCase{"aggregate",
                    {kTag + 1, {row("a", 0, INT64_MAX, 0, 1)}, 0, std::nullopt},
                    "snapshot failed conservation: aggregate ledger totals exceed i64::MAX "
                    "\u2014 certificate totals cannot be represented"}),
    [](const auto& info) { return std::string(info.param.name); });

// --- the ledger digest ---

TEST(BudgetDigest, IndependentOfRowOrderButNotOfAnyField) {
  BudgetSnapshot a{kTag + 5, {row("b", 1, 1, 0, 0), row("a", 2, 1, 0, 1), row("ab", 0, 0, 0, 0)},
                   0, std::nullopt};
  BudgetSnapshot b = a;
  std::swap(b.tenants[0], b.tenants[2]);
  EXPECT_EQ(ledger_digest(a), ledger_digest(b));

  BudgetSnapshot w = a;
  w.wal_high_watermark = 0;
  EXPECT_NE(ledger_digest(w), ledger_digest(a));
  BudgetSnapshot v = a;
  v.version += 1;
  EXPECT_NE(ledger_digest(v), ledger_digest(a));
  // Moving a byte between id and amount must change the digest: the id's
  // length is part of the layout.
  BudgetSnapshot x{kTag + 5, {row("a", 0x62, 0, 0, 0)}, 0, std::nullopt};
  BudgetSnapshot y{kTag + 5, {row("ab", 0, 0, 0, 0)}, 0, std::nullopt};
  EXPECT_NE(ledger_digest(x), ledger_digest(y));
}

TEST(BudgetDigest, KnownLayoutOfAnEmptyCapture) {
  // Tag, separator, version, rows, reservations: 33 bytes, nothing more.
  std::string bytes = "morvldg1";
  bytes.push_back('\0');
  auto le = [&](uint64_t v) {
    for (int i = 0; i < 8; ++i) bytes.push_back(static_cast<char>(v >> (8 * i)));
  };
  le(kTag + 2);
  le(0);
  le(0);
  BudgetSnapshot empty{kTag + 2, {}, 0, std::nullopt};
  EXPECT_EQ(ledger_digest(empty), sha256(bytes));
}

}  // namespace
}  // namespace morvatel::budget
