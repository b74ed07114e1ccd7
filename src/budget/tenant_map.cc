#include "budget/tenant_map.h"

#include <sys/random.h>

#include <cerrno>
#include <cstring>
#include <random>

namespace morvatel::budget {

namespace {

struct HashKey {
  uint64_t k0;
  uint64_t k1;
};

// Drawn from the operating system's random source on first use. Should
// that source be unavailable (a sandbox without getrandom), the standard
// library's device is the fallback; the key is still unknown to callers.
HashKey draw_key() {
  uint64_t words[2] = {0, 0};
  auto* p = reinterpret_cast<unsigned char*>(words);
  size_t got = 0;
  while (got < sizeof words) {
    ssize_t n = getrandom(p + got, sizeof words - got, 0);
    if (n > 0) {
      got += static_cast<size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      break;
    }
  }
  if (got < sizeof words) {
    std::random_device rd;
    for (auto& w : words) w = (static_cast<uint64_t>(rd()) << 32) ^ rd();
  }
  return HashKey{words[0], words[1]};
}

const HashKey& process_key() {
  static const HashKey key = draw_key();
  return key;
}

inline uint64_t rotl(uint64_t x, int b) { return (x << b) | (x >> (64 - b)); }

struct SipState {
  uint64_t v0, v1, v2, v3;
  void round() {
    v0 += v1;
    v1 = rotl(v1, 13);
    v1 ^= v0;
    v0 = rotl(v0, 32);
    v2 += v3;
    v3 = rotl(v3, 16);
    v3 ^= v2;
    v0 += v3;
    v3 = rotl(v3, 21);
    v3 ^= v0;
    v2 += v1;
    v1 = rotl(v1, 17);
    v1 ^= v2;
    v2 = rotl(v2, 32);
  }
  void absorb(uint64_t m) {
    v3 ^= m;
    round();
    v0 ^= m;
  }
};

inline uint64_t load_le64(const unsigned char* p) {
  uint64_t v = 0;
  for (int i = 0; i < 8; ++i) v |= static_cast<uint64_t>(p[i]) << (8 * i);
  return v;
}

}  // namespace

// SipHash with one compression round per word and three finalisation
// rounds: ample for flooding resistance of a hash table, and fast on the
// short ids tenants have.
uint64_t tenant_hash(std::string_view id) noexcept {
  const HashKey& k = process_key();
  SipState s{k.k0 ^ 0x736f6d6570736575ULL, k.k1 ^ 0x646f72616e646f6dULL,
             k.k0 ^ 0x6c7967656e657261ULL, k.k1 ^ 0x7465646279746573ULL};
  const auto* p = reinterpret_cast<const unsigned char*>(id.data());
  size_t n = id.size();
  size_t whole = n & ~static_cast<size_t>(7);
  for (size_t i = 0; i < whole; i += 8) s.absorb(load_le64(p + i));
  uint64_t last = static_cast<uint64_t>(n & 0xff) << 56;
  for (size_t i = whole; i < n; ++i) last |= static_cast<uint64_t>(p[i]) << (8 * (i - whole));
  s.absorb(last);
  s.v2 ^= 0xff;
  s.round();
  s.round();
  s.round();
  return s.v0 ^ s.v1 ^ s.v2 ^ s.v3;
}

uint64_t reservation_hash(uint64_t id) noexcept {
  // A keyed bijective mixer: cheap for the engine's own sequential ids, and
  // without the key a caller cannot predict which ids share a bucket.
  const HashKey& k = process_key();
  uint64_t x = id ^ k.k0;
  x ^= x >> 33;
  x *= 0xff51afd7ed558ccdULL;
  x ^= x >> 33;
  x *= 0xc4ceb9fe1a85ec53ULL;
  x ^= x >> 33;
  return x ^ k.k1;
}

}  // namespace morvatel::budget
