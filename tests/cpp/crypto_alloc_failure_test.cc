// libcrypto allocating through functions of ours, so that a test can make
// its allocations fail and see the failure reported rather than the process
// ended. The functions must be in place before libcrypto's first allocation,
// hence a constructor that runs before main; until a test sets the flag they
// only pass each call on.

#include <gtest/gtest.h>
#include <openssl/crypto.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "crypto.h"

namespace morvatel {
namespace {

std::atomic<bool> g_fail{false};
bool g_installed = false;

void* failing_malloc(size_t n, const char*, int) { return g_fail ? nullptr : std::malloc(n); }
void* failing_realloc(void* p, size_t n, const char*, int) {
  return g_fail ? nullptr : std::realloc(p, n);
}
void plain_free(void* p, const char*, int) { std::free(p); }

__attribute__((constructor(101))) void install_allocator() {
  g_installed = CRYPTO_set_mem_functions(failing_malloc, failing_realloc, plain_free) == 1;
}

TEST(CryptoAllocationFailure, IsReportedAsBadAllocAndLeavesLibcryptoUsable) {
  if (!g_installed) GTEST_SKIP() << "libcrypto allocated before the test could hook it";
  const std::string key(32, 'k');
  const auto key_bytes = std::span(reinterpret_cast<const uint8_t*>(key.data()), key.size());
  Ed25519Seed seed{};
  const auto cases = {
      +[](std::span<const uint8_t>, const Ed25519Seed&) { (void)sha256(std::string_view("abc")); },
      +[](std::span<const uint8_t> k, const Ed25519Seed&) {
        (void)hmac_sha256(k, std::string_view("abc"));
      },
      +[](std::span<const uint8_t>, const Ed25519Seed& s) { (void)Ed25519KeyPair::from_seed(s); },
  };
  for (auto run : cases) {
    // Once, so that libcrypto has loaded its providers and algorithms: its
    // own start-up is not what is tested here.
    run(key_bytes, seed);
    g_fail = true;
    EXPECT_THROW(run(key_bytes, seed), std::bad_alloc);
    g_fail = false;
    EXPECT_NO_THROW(run(key_bytes, seed));
  }
}

}  // namespace
}  // namespace morvatel
