// Budget engine throughput: reserve+commit pairs per second, on one and on
// four threads, each thread with its own tenant (disjoint) or all threads
// on one tenant (shared). Build with -DMORVATEL_BUILD_BENCH=ON and a
// Release build type.

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "budget/engine.h"

namespace {

using morvatel::budget::BudgetEngine;
using morvatel::budget::ReserveOutcome;

double run(int threads, bool shared, int pairs_per_thread) {
  auto engine = std::make_unique<BudgetEngine>();
  std::vector<std::string> tenants;
  for (int t = 0; t < threads; ++t) {
    tenants.push_back(shared ? "shared-tenant" : "tenant-" + std::to_string(t));
    (void)engine->ensure_tenant(tenants.back(), int64_t{1} << 60);
  }
  std::vector<std::thread> pool;
  auto start = std::chrono::steady_clock::now();
  for (int t = 0; t < threads; ++t) {
    pool.emplace_back([&, t] {
      const std::string& tenant = tenants[t];
      for (int i = 0; i < pairs_per_thread; ++i) {
        ReserveOutcome r = engine->try_reserve(tenant, 1000);
        if (r.kind != ReserveOutcome::Kind::Reserved) std::abort();
        (void)engine->commit(r.reservation_id, 900);
      }
    });
  }
  for (auto& th : pool) th.join();
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (!engine->verify_conservation()->is_balanced()) std::abort();
  return threads * static_cast<double>(pairs_per_thread) / seconds;
}

}  // namespace

int main(int argc, char** argv) {
  int pairs = argc > 1 ? std::atoi(argv[1]) : 1'000'000;
  std::printf("reserve+commit pairs per second (%d pairs per thread)\n", pairs);
  for (bool shared : {false, true}) {
    for (int threads : {1, 4}) {
      double best = 0;
      for (int rep = 0; rep < 3; ++rep) best = std::max(best, run(threads, shared, pairs));
      std::printf("  %d thread%s, %-8s tenants: %12.0f\n", threads, threads == 1 ? " " : "s",
                  shared ? "shared" : "disjoint", best);
    }
  }
  return 0;
}
