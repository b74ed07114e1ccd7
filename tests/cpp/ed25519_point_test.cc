// The fixed-width point decoding check against a BIGNUM one that computes
// x^2 = (y^2 - 1) / (d y^2 + 1) mod p and applies Euler's criterion: a
// different route to the same acceptance rule, so a slip in the limb
// arithmetic (a carry, a bound, the exponent chain) shows up as a mismatch.

#include <gtest/gtest.h>
#include <openssl/bn.h>

#include <array>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "crypto.h"
#include "text.h"

namespace morvatel {
namespace {

struct Bn {
  BIGNUM* p = BN_new();
  ~Bn() { BN_free(p); }
  operator BIGNUM*() const { return p; }
};

void require(bool ok) {
  if (!ok) std::abort();
}

// (y mod p) has an x, with y the low 255 bits; the sign bit is ignored.
bool reference_point_decodes(const Ed25519PublicKey& encoded) {
  BN_CTX* ctx = BN_CTX_new();
  Bn p, d, half, t, y, yy, u, v, x2, r;
  require(ctx != nullptr && BN_set_word(p, 1) && BN_lshift(p, p, 255) && BN_sub_word(p, 19) &&
          BN_copy(half, p) && BN_sub_word(half, 1) && BN_rshift1(half, half) &&
          BN_copy(d, p) && BN_sub_word(d, 121665) && BN_set_word(t, 121666) &&
          BN_mod_inverse(t, t, p, ctx) != nullptr && BN_mod_mul(d, d, t, p, ctx));
  uint8_t y_bytes[32];
  std::copy(encoded.begin(), encoded.end(), y_bytes);
  y_bytes[31] &= 0x7f;
  require(BN_lebin2bn(y_bytes, 32, y) != nullptr && BN_nnmod(y, y, p, ctx) &&
          BN_mod_sqr(yy, y, p, ctx) && BN_copy(u, yy) && BN_sub_word(u, 1) &&
          BN_nnmod(u, u, p, ctx) && BN_mod_mul(v, d, yy, p, ctx) && BN_add_word(v, 1) &&
          BN_nnmod(v, v, p, ctx) && BN_mod_inverse(v, v, p, ctx) != nullptr &&
          BN_mod_mul(x2, u, v, p, ctx));
  bool has_x = BN_is_zero(x2);
  if (!has_x) {
    require(BN_mod_exp(r, x2, half, p, ctx));
    has_x = BN_is_one(r);
  }
  BN_CTX_free(ctx);
  return has_x;
}

// The encoding of y = p + offset, for offsets that change only the low byte
// of p (whose low byte is 0xed), with the sign bit as given.
Ed25519PublicKey near_p(int offset, bool sign) {
  Ed25519PublicKey k;
  k.fill(0xff);
  k[31] = 0x7f;
  k[0] = static_cast<uint8_t>(0xed + offset);
  if (sign) k[31] |= 0x80;
  return k;
}

Ed25519PublicKey small_value(uint64_t y, bool sign) {
  Ed25519PublicKey k{};
  for (int i = 0; i < 8; ++i) k[i] = static_cast<uint8_t>(y >> (8 * i));
  if (sign) k[31] |= 0x80;
  return k;
}

Ed25519PublicKey from_hex(std::string_view h) {
  Ed25519PublicKey k{};
  for (size_t i = 0; i < 32; ++i) {
    k[i] = static_cast<uint8_t>(std::stoi(std::string(h.substr(2 * i, 2)), nullptr, 16));
  }
  return k;
}

std::vector<Ed25519PublicKey> edge_encodings() {
  std::vector<Ed25519PublicKey> out;
  for (bool sign : {false, true}) {
    // Small y, and every y from p - 64 to 2^255 - 1: p - 1 (the point of
    // order 2), p and p + 1 (0 and 1 again), and the values that only
    // reduce mod p.
    for (uint64_t y : {0, 1, 2, 3, 4, 5, 8, 9, 10, 18, 19, 20, 121665, 121666}) {
      out.push_back(small_value(y, sign));
    }
    for (int off = -64; off <= 18; ++off) out.push_back(near_p(off, sign));
    // Long runs of set bits below a top byte with and without its high bits.
    for (uint8_t top : {0x00, 0x3f, 0x40, 0x7f}) {
      Ed25519PublicKey k{};
      k.fill(0xff);
      k[31] = static_cast<uint8_t>(top | (sign ? 0x80 : 0));
      out.push_back(k);
    }
    // The y of the points of order 8, and of the base point.
    for (std::string_view h :
         {"26e8958fc2b227b045c3f489f2ef98f0d5dfac05d3c63339b13802886d53fc05",
          "c7176a703d4dd84fba3c0b760d10670f2a2053fa2c39ccc64ec7fd7792ac037a",
          "5866666666666666666666666666666666666666666666666666666666666666"}) {
      auto k = from_hex(h);
      if (sign) k[31] |= 0x80;
      out.push_back(k);
    }
  }
  return out;
}

TEST(Ed25519PointTest, EdgeEncodingsMatchTheBignumCheck) {
  int accepted = 0, refused = 0;
  for (const auto& k : edge_encodings()) {
    const bool expected = reference_point_decodes(k);
    EXPECT_EQ(ed25519_point_decodes(k), expected) << hex_lower(k.data(), k.size());
    (expected ? accepted : refused)++;
  }
  // Both answers occur, or the comparison proves little.
  EXPECT_GT(accepted, 20);
  EXPECT_GT(refused, 20);
}

TEST(Ed25519PointTest, RandomEncodingsMatchTheBignumCheck) {
  std::mt19937_64 rng(20261207);
  int accepted = 0;
  const int n = 20000;
  for (int i = 0; i < n; ++i) {
    Ed25519PublicKey k;
    for (size_t j = 0; j < k.size(); j += 8) {
      uint64_t w = rng();
      for (size_t b = 0; b < 8; ++b) k[j + b] = static_cast<uint8_t>(w >> (8 * b));
    }
    // One in four is dense in set bits, where carries run longest.
    if (i % 4 == 0) {
      for (size_t j = 0; j < 32; j += 4) k[j] |= 0xf0;
    }
    const bool expected = reference_point_decodes(k);
    ASSERT_EQ(ed25519_point_decodes(k), expected) << hex_lower(k.data(), k.size());
    accepted += expected;
  }
  // About half of all y have an x.
  EXPECT_GT(accepted, n / 3);
  EXPECT_LT(accepted, 2 * n / 3);
}

TEST(Ed25519PointTest, PublicKeysOfSeedsDecode) {
  std::mt19937_64 rng(7);
  for (int i = 0; i < 200; ++i) {
    Ed25519Seed seed;
    for (auto& b : seed) b = static_cast<uint8_t>(rng());
    const auto kp = Ed25519KeyPair::from_seed(seed);
    EXPECT_TRUE(ed25519_point_decodes(kp.public_key()));
    // -x for the same y decodes too.
    auto negated = kp.public_key();
    negated[31] ^= 0x80;
    EXPECT_TRUE(ed25519_point_decodes(negated));
  }
}

}  // namespace
}  // namespace morvatel
