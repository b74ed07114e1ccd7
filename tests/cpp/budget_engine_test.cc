#include "budget/engine.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "finance.h"

namespace morvatel::budget {
namespace {

using RK = ReserveOutcome::Kind;

constexpr uint64_t kTag = uint64_t{1} << 63;
constexpr const char* kPanic =
    "reservation allocator exhausted \u2014 use try_snapshot() for fallible capture: "
    "AllocatorExhausted";

TenantLedger row(std::string id, int64_t initial, int64_t remaining, int64_t reserved,
                 int64_t committed) {
  return TenantLedger{std::move(id), initial, remaining, reserved, committed};
}

TEST(BudgetAllocator, LastValueGoesToACaptureThenEverythingThatNeedsOneFails) {
  auto engine = std::make_unique<BudgetEngine>(kAllocatorLimit - 1);
  BudgetEngine& e = *engine;
  ASSERT_TRUE(e.ensure_tenant("a", 7));
  auto last = e.try_snapshot();
  ASSERT_TRUE(last);
  EXPECT_EQ(last->version, 18446744073709551615ULL);  // bit 63 + the limit

  // Twice: a failed capture must not move anything either.
  for (int i = 0; i < 2; ++i) {
    auto snap = e.try_snapshot();
    ASSERT_FALSE(snap);
    EXPECT_EQ(snap.error(), SnapshotAllocatorError::AllocatorExhausted);
    ASSERT_FALSE(e.verify_conservation());
    auto p = e.prove_conservation();
    ASSERT_FALSE(p);
    EXPECT_EQ(p.error().kind, ProofError::Kind::AllocatorExhausted);
    EXPECT_EQ(p.error().message(), kPanic);
    ASSERT_FALSE(e.certify());
  }
  EXPECT_EQ(infallible_capture_failure(SnapshotAllocatorError::AllocatorExhausted), kPanic);
  // The refused reservation leaves no money held.
  EXPECT_EQ(e.try_reserve("a", 5), (ReserveOutcome{.kind = RK::Overflow, .current_reserved = 0}));
  EXPECT_EQ(e.reserved_microcents("a"), 0);
  EXPECT_EQ(e.remaining_microcents("a"), 7);
}

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

BudgetSnapshot snap(std::vector<TenantLedger> rows, uint64_t active = 0) {
  return {kTag + 1, std::move(rows), active, std::nullopt};
}

INSTANTIATE_TEST_SUITE_P(
    Budget, BudgetValidate,
    ::testing::Values(
        RestoreCase{"empty", snap({}), nullptr},
        RestoreCase{"balanced", {0, {row("a", 10, 4, 0, 6), row("b", 0, 0, 0, 0)}, 0, 9}, nullptr},
        RestoreCase{"open_reservations", snap({row("a", 10, 4, 0, 6)}, 1),
                    "cannot restore snapshot with 1 active reservations"},
        RestoreCase{"duplicate_before_later_fields",
                    snap({row("b", 1, 1, 0, 0), row("a", 1, 1, 0, 0), row("b", 1, 1, 0, 0)}),
                    "duplicate tenant_id in snapshot: b"},
        RestoreCase{"reserved_before_negative", snap({row("a", 4, -1, 5, 0)}),
                    "tenant a has reserved_microcents=5 with no active reservations"},
        RestoreCase{"negative_remaining_first", snap({row("a", -1, -2, 0, -3)}),
                    "tenant a has negative remaining_microcents: -2"},
        RestoreCase{"negative_initial", snap({row("a", -1, 0, 0, -3)}),
                    "tenant a has negative initial_microcents: -1"},
        RestoreCase{"negative_committed", snap({row("a", 0, 3, 0, -3)}),
                    "tenant a has negative committed_microcents: -3"},
        // Field checks of every row come before conservation of any row.
        RestoreCase{"fields_before_conservation",
                    snap({row("a", 100, 50, 0, 40), row("b", 0, -1, 0, 1)}),
                    "tenant b has negative remaining_microcents: -1"},
        RestoreCase{"conservation", snap({row("a", 100, 50, 0, 40)}),
                    "snapshot failed conservation: conservation violated for tenant a: "
                    "delta=-10 microcents"},
        RestoreCase{"aggregate", snap({row("a", 0, INT64_MAX, 0, 1)}),
                    "snapshot failed conservation: aggregate ledger totals exceed i64::MAX "
                    "\u2014 certificate totals cannot be represented"}),
    [](const auto& info) { return std::string(info.param.name); });

// The layout itself is checked byte for byte by the Python model; these are
// the properties its engine-made captures never vary.
TEST(BudgetDigest, IndependentOfRowOrderButNotOfTheWatermark) {
  BudgetSnapshot a{kTag + 5,
                   {row("b", 1, 1, 0, 0), row("a", 2, 1, 0, 1), row("ab", 0, 0, 0, 0)},
                   0,
                   std::nullopt};
  BudgetSnapshot b = a;
  std::swap(b.tenants[0], b.tenants[2]);
  EXPECT_EQ(ledger_digest(a), ledger_digest(b));
  BudgetSnapshot w = a;
  w.wal_high_watermark = 0;
  EXPECT_NE(ledger_digest(w), ledger_digest(a));
}

}  // namespace
}  // namespace morvatel::budget
