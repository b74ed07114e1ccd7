// Allocation failure in the middle of an engine update must leave every
// ledger as it was, and in the middle of a log append must leave the log and
// its writer able to go on. This file replaces the global allocation functions with
// ones that can be told to fail the n-th allocation from now; unarmed they
// are plain malloc and free. Under a sanitizer, which brings its own
// allocator, the replacement is left out and the tests are skipped.

#include <gtest/gtest.h>

#include <stdlib.h>

#include <atomic>
#include <cstdlib>
#include <functional>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "budget/engine.h"
#include "kernel/prescribe.h"
#include "temp_dir.h"
#include "wal/writer.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define MORVATEL_NO_ALLOC_HOOK 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || \
    __has_feature(memory_sanitizer)
#define MORVATEL_NO_ALLOC_HOOK 1
#endif
#endif

namespace {
// Allocations left before the one that fails; negative: never fail.
std::atomic<long> g_countdown{-1};

[[maybe_unused]] bool should_fail() {
  long n = g_countdown.load(std::memory_order_relaxed);
  if (n < 0) return false;
  g_countdown.store(n - 1, std::memory_order_relaxed);
  return n == 0;
}
}  // namespace

#ifndef MORVATEL_NO_ALLOC_HOOK
// These are the replacement allocation functions themselves: pairing free
// with this operator new is exactly right, whatever inlining makes of it.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(std::size_t n) {
  if (should_fail()) throw std::bad_alloc();
  if (void* p = std::malloc(n == 0 ? 1 : n)) return p;
  throw std::bad_alloc();
}
void* operator new(std::size_t n, std::align_val_t a) {
  if (should_fail()) throw std::bad_alloc();
  auto align = static_cast<std::size_t>(a);
  std::size_t size = (n + align - 1) / align * align;
  if (void* p = std::aligned_alloc(align, size == 0 ? align : size)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
#endif

namespace morvatel::budget {
namespace {

std::pair<std::vector<TenantLedger>, uint64_t> ledgers(BudgetEngine& e) {
  auto s = e.try_snapshot();
  EXPECT_TRUE(s);
  return {s->tenants, s->active_reservations};
}

// Runs `op` with the n-th allocation failing, for n = 0, 1, ... until it
// runs through; after every failure the ledgers must be unchanged. Returns
// how many failures were injected.
int fail_each_allocation(BudgetEngine& e, const std::function<void()>& op) {
  for (int n = 0;; ++n) {
    auto before = ledgers(e);
    g_countdown = n;
    bool failed = false;
    try {
      op();
    } catch (const std::bad_alloc&) {
      failed = true;
    }
    g_countdown = -1;
    if (!failed) return n;
    EXPECT_EQ(ledgers(e), before) << "after failing allocation " << n;
  }
}

class BudgetAllocFailure : public ::testing::Test {
 protected:
  void SetUp() override {
#ifdef MORVATEL_NO_ALLOC_HOOK
    GTEST_SKIP() << "allocation hook unavailable under a sanitizer";
#endif
    engine_ = std::make_unique<BudgetEngine>();
    // Enough tenants that the next insert may need larger bucket arrays.
    for (int i = 0; i < 12; ++i) ASSERT_TRUE(engine_->ensure_tenant(std::to_string(i), 1000));
  }
  void TearDown() override { g_countdown = -1; }
  std::unique_ptr<BudgetEngine> engine_;
};

TEST_F(BudgetAllocFailure, NewTenantEntersAllFourMapsOrNone) {
  BudgetEngine& e = *engine_;
  int failures = fail_each_allocation(e, [&] { ASSERT_TRUE(e.ensure_tenant("new", 500)); });
  EXPECT_GE(failures, 5);  // the name, and a node in each of the four maps
  EXPECT_EQ(e.tenant_count(), 13u);
  EXPECT_EQ(e.initial_microcents("new"), 500);
  EXPECT_EQ(e.committed_microcents("new"), 0);
  EXPECT_EQ(e.reserved_microcents("new"), 0);
  EXPECT_TRUE(e.verify_conservation()->is_balanced());
}

TEST_F(BudgetAllocFailure, ReservationWithoutRecordGivesTheMoneyBack) {
  BudgetEngine& e = *engine_;
  std::optional<ReserveOutcome> r;
  EXPECT_GE(fail_each_allocation(e, [&] { r = e.try_reserve("3", 400); }), 1);
  ASSERT_EQ(r->kind, ReserveOutcome::Kind::Reserved);
  EXPECT_EQ(e.remaining_microcents("3"), 600);
  EXPECT_EQ(e.reserved_microcents("3"), 400);
  EXPECT_EQ(e.active_reservations(), 1u);
  EXPECT_EQ(e.commit(r->reservation_id, 100).kind, Settlement::Kind::Committed);
}

TEST_F(BudgetAllocFailure, UndeliveredCertificateCountsNoSpend) {
  BudgetEngine& e = *engine_;
  auto r = e.try_reserve("5", 300);
  ASSERT_EQ(e.commit(r.reservation_id, 250).kind, Settlement::Kind::Committed);
  std::optional<Certificate> cert;
  int failures = fail_each_allocation(e, [&] { cert = *e.certify(); });
  EXPECT_GE(failures, 2);  // the capture's rows and the digest's ordering
  EXPECT_EQ(cert->committed_since_last_certificate, 250);
  EXPECT_EQ(e.certify()->committed_since_last_certificate, 0);
}

TEST_F(BudgetAllocFailure, CaptureFailingBeforeItsVersionConsumesNone) {
  BudgetEngine& e = *engine_;
  uint64_t before = e.try_snapshot()->version;
  g_countdown = 0;  // the first allocation of a capture copies the rows
  EXPECT_THROW((void)e.try_snapshot(), std::bad_alloc);
  g_countdown = -1;
  EXPECT_EQ(e.try_snapshot()->version, before + 1);
}

TEST_F(BudgetAllocFailure, RestoreReplacesEverythingOrNothing) {
  BudgetEngine& e = *engine_;
  auto open = e.try_reserve("1", 10);
  BudgetSnapshot target{(uint64_t{1} << 63) + 50, {}, 0, std::nullopt};
  for (int i = 0; i < 20; ++i) target.tenants.push_back({"r" + std::to_string(i), 9, 4, 0, 5});
  EXPECT_GE(fail_each_allocation(e, [&] { e.restore(target); }), 20);
  EXPECT_EQ(e.tenant_count(), 20u);
  EXPECT_EQ(e.release(open.reservation_id).kind, Settlement::Kind::MissingReservation);
  EXPECT_EQ(e.try_reserve("r3", 4).reservation_id, 50u);
}

}  // namespace
}  // namespace morvatel::budget

namespace morvatel::wal {
namespace {

TEST(WalAllocFailure, AnAppendThatFailsToAllocateLeavesItsWriterOnTheChain) {
#ifdef MORVATEL_NO_ALLOC_HOOK
  GTEST_SKIP() << "allocation hook unavailable under a sanitizer";
#endif
  // Removed on every return, early ones included; each comes after the
  // countdown is disarmed, so the removal's allocations never fail.
  TempDir dir;
  ::setenv("MORVATEL_WAL_LOCK_DIR", (dir / "locks").c_str(), 1);
  const std::string path = dir / "log";
  const std::string key(32, 'k');
  std::vector<KernelModel> models = {KernelModel{1, 0, 9000, 9000, 1, 50, 0xFF, 1, 1000, 2000}};
  const PolicySnapshot snapshot = *try_new_trusted(PolicyParams{3, 5, 9000, 1000, 10000, 1},
                                                   models);
  const json::Value metadata = json::parse_value(R"({"k":[1,2]})").value();
  auto writer = WalWriter::open(path, path, key);
  ASSERT_TRUE(writer.has_value());
  // Each allocation of an append fails in turn, until one append needs no
  // more: whatever a failure left in the file, the writer's head must be
  // the head of a valid chain, so that the next append extends it.
  for (int n = 0;; ++n) {
    const KernelInput input{
        writer->sequence() + 1, 1, 500, 200, 5000000, 1000000000, 100, 9000, 0, 0, 0, ~0ULL, 0};
    const KernelDecision decision = prescribe_inner(snapshot, input).decision;
    g_countdown = n;
    bool done = false;
    try {
      done = writer->append_verified(snapshot, input, decision, metadata).has_value();
    } catch (const std::bad_alloc&) {
    }
    g_countdown = -1;
    ASSERT_FALSE(writer->poisoned()) << "allocation " << n;
    auto head = validate_chain_inner(path, std::string_view(key));
    ASSERT_TRUE(head.has_value()) << "allocation " << n << ": " << head.error().message();
    ASSERT_EQ(head->sequence, writer->sequence()) << "allocation " << n;
    ASSERT_EQ(head->last_hash, writer->last_hash()) << "allocation " << n;
    if (done) break;
  }
  EXPECT_GE(writer->sequence(), 1u);
}

}  // namespace
}  // namespace morvatel::wal
