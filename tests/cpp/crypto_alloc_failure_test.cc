// libcrypto allocating through functions of ours, so that a test can make
// its allocations fail and see the failure reported rather than the process
// ended. The functions must be in place before libcrypto's first allocation,
// hence a constructor that runs before main; until a test sets the flag they
// only pass each call on.

#include <gtest/gtest.h>
#include <openssl/crypto.h>
#include <openssl/err.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <new>
#include <utility>

#include "crypto.h"

namespace morvatel {
namespace {

std::atomic<bool> g_fail{false};
bool g_installed = false;
// While counting, allocations are numbered from 0 and the one numbered
// g_fail_at fails alone.
std::atomic<bool> g_counting{false};
std::atomic<long> g_seen{0};
std::atomic<long> g_fail_at{-1};

// A failure as malloc reports it: a null pointer and ENOMEM.
bool fails_now() {
  const bool fail = g_fail || (g_counting && g_seen++ == g_fail_at);
  if (fail) errno = ENOMEM;
  return fail;
}

void* failing_malloc(size_t n, const char*, int) { return fails_now() ? nullptr : std::malloc(n); }
void* failing_realloc(void* p, size_t n, const char*, int) {
  return fails_now() ? nullptr : std::realloc(p, n);
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

// Runs f with libcrypto's allocation numbered `fail_at` failing (none when
// it is negative); returns how many allocations f made.
template <typename F>
long with_failing_allocation(long fail_at, F&& f) {
  g_seen = 0;
  g_fail_at = fail_at;
  g_counting = true;
  struct Stop {
    ~Stop() { g_counting = false; }
  } stop;
  f();
  return g_seen;
}

TEST(CryptoAllocationFailure, AVerificationThatCannotAllocateGivesNoVerdict) {
  if (!g_installed) GTEST_SKIP() << "libcrypto allocated before the test could hook it";
  const Ed25519Seed seed{7};
  const auto pair = Ed25519KeyPair::from_seed(seed);
  const std::string_view message = "claims";
  const Ed25519Signature valid = pair.sign(message);
  Ed25519Signature forged = valid;
  forged[0] ^= 1;  // in R, so that the check runs on to its comparison
  const auto key = Ed25519VerifyingKey::from_bytes(pair.public_key());
  ASSERT_TRUE(key);
  for (const auto& [signature, genuine] : {std::pair{valid, true}, std::pair{forged, false}}) {
    ASSERT_EQ(key->verify(message, signature), genuine);  // libcrypto is warm
    const long count = with_failing_allocation(-1, [&] { (void)key->verify(message, signature); });
    ASSERT_GT(count, 0);
    long thrown = 0;
    for (long i = 0; i < count; ++i) {
      try {
        bool verdict = !genuine;
        with_failing_allocation(i, [&] { verdict = key->verify(message, signature); });
        EXPECT_EQ(verdict, genuine) << "with allocation " << i << " of " << count << " failing";
      } catch (const std::bad_alloc&) {
        ++thrown;
      }
      EXPECT_EQ(ERR_peek_error(), 0ul) << "queue left after allocation " << i;
      EXPECT_EQ(key->verify(message, signature), genuine) << "after allocation " << i;
    }
    EXPECT_GT(thrown, 0) << "no failure reached the caller";
  }
}

}  // namespace
}  // namespace morvatel
