// The decoding check for Ed25519 public keys, in fixed-width field
// arithmetic.
//
// Every receipt and policy verification checks its key first, so this sits
// on the verification path next to libcrypto's own verify (about 100 us).
// libcrypto exposes no point decoding for Ed25519, and a BIGNUM version
// costs 40-55 us; field elements of five 51-bit limbs with 128-bit products
// and one exponentiation bring it to a few microseconds. The inputs are
// public keys, so nothing here needs to run in constant time.

#include <cstdint>
#include <cstring>

#include "crypto.h"

namespace morvatel {

namespace {

__extension__ typedef unsigned __int128 u128;

constexpr uint64_t kMask51 = (uint64_t{1} << 51) - 1;

// An element of GF(p), p = 2^255 - 19, as sum(v[i] * 2^(51 i)). Limbs are
// kept below 2^52 between operations, which leaves every product sum and
// carry below 2^64 after the fold by 19. The value need not be reduced.
struct Fe {
  uint64_t v[5];
};

// d = -121665 / 121666 mod p.
constexpr Fe kD = {
    {929955233495203, 466365720129213, 1662059464998953, 2033849074728123, 1442794654840575}};

uint64_t load_le64(const uint8_t* p) {
  uint64_t x = 0;
  for (int i = 7; i >= 0; --i) x = (x << 8) | p[i];
  return x;
}

// The low 255 bits of a little-endian encoding; the top bit is dropped.
Fe from_bytes(const uint8_t* s) {
  return {{load_le64(s) & kMask51, (load_le64(s + 6) >> 3) & kMask51,
           (load_le64(s + 12) >> 6) & kMask51, (load_le64(s + 19) >> 1) & kMask51,
           (load_le64(s + 24) >> 12) & kMask51}};
}

// Brings every limb below 2^51 plus a little, wrapping 2^255 to 19.
void carry(Fe& a) {
  for (int i = 0; i < 4; ++i) {
    a.v[i + 1] += a.v[i] >> 51;
    a.v[i] &= kMask51;
  }
  a.v[0] += 19 * (a.v[4] >> 51);
  a.v[4] &= kMask51;
}

// One carry out of every limb at once; limbs below 2^63 come out below 2^52.
void carry_parallel(Fe& a) {
  const uint64_t c0 = a.v[0] >> 51, c1 = a.v[1] >> 51, c2 = a.v[2] >> 51, c3 = a.v[3] >> 51,
                 c4 = a.v[4] >> 51;
  a.v[0] = (a.v[0] & kMask51) + 19 * c4;
  a.v[1] = (a.v[1] & kMask51) + c0;
  a.v[2] = (a.v[2] & kMask51) + c1;
  a.v[3] = (a.v[3] & kMask51) + c2;
  a.v[4] = (a.v[4] & kMask51) + c3;
}

Fe add(const Fe& a, const Fe& b) {
  Fe r;
  for (int i = 0; i < 5; ++i) r.v[i] = a.v[i] + b.v[i];
  carry(r);
  return r;
}

// a - b, computed as a + 4p - b so that no limb goes below zero.
Fe sub(const Fe& a, const Fe& b) {
  constexpr uint64_t k4p0 = 4 * ((uint64_t{1} << 51) - 19);
  constexpr uint64_t k4pi = 4 * kMask51;
  Fe r;
  r.v[0] = a.v[0] + k4p0 - b.v[0];
  for (int i = 1; i < 5; ++i) r.v[i] = a.v[i] + k4pi - b.v[i];
  carry(r);
  return r;
}

// Folds the five 128-bit column sums of a product back into limbs. The
// carries of all columns are taken at once, then once more on 64 bits,
// rather than rippling through the 128-bit sums one after another: the
// exponentiation is a chain of 250 dependent squarings, so the length of
// this step is most of its cost.
Fe reduce_product(u128 t0, u128 t1, u128 t2, u128 t3, u128 t4) {
  const uint64_t c0 = static_cast<uint64_t>(t0 >> 51), c1 = static_cast<uint64_t>(t1 >> 51),
                 c2 = static_cast<uint64_t>(t2 >> 51), c3 = static_cast<uint64_t>(t3 >> 51),
                 c4 = static_cast<uint64_t>(t4 >> 51);
  Fe r = {{(static_cast<uint64_t>(t0) & kMask51) + 19 * c4,
           (static_cast<uint64_t>(t1) & kMask51) + c0, (static_cast<uint64_t>(t2) & kMask51) + c1,
           (static_cast<uint64_t>(t3) & kMask51) + c2, (static_cast<uint64_t>(t4) & kMask51) + c3}};
  carry_parallel(r);
  return r;
}

Fe mul(const Fe& a, const Fe& b) {
  const uint64_t a0 = a.v[0], a1 = a.v[1], a2 = a.v[2], a3 = a.v[3], a4 = a.v[4];
  const uint64_t b0 = b.v[0], b1 = b.v[1], b2 = b.v[2], b3 = b.v[3], b4 = b.v[4];
  const uint64_t b1_19 = 19 * b1, b2_19 = 19 * b2, b3_19 = 19 * b3, b4_19 = 19 * b4;
  u128 t0 = (u128)a0 * b0 + (u128)a1 * b4_19 + (u128)a2 * b3_19 + (u128)a3 * b2_19 +
            (u128)a4 * b1_19;
  u128 t1 = (u128)a0 * b1 + (u128)a1 * b0 + (u128)a2 * b4_19 + (u128)a3 * b3_19 + (u128)a4 * b2_19;
  u128 t2 = (u128)a0 * b2 + (u128)a1 * b1 + (u128)a2 * b0 + (u128)a3 * b4_19 + (u128)a4 * b3_19;
  u128 t3 = (u128)a0 * b3 + (u128)a1 * b2 + (u128)a2 * b1 + (u128)a3 * b0 + (u128)a4 * b4_19;
  u128 t4 = (u128)a0 * b4 + (u128)a1 * b3 + (u128)a2 * b2 + (u128)a3 * b1 + (u128)a4 * b0;
  return reduce_product(t0, t1, t2, t3, t4);
}

Fe sqr(const Fe& a) {
  const uint64_t a0 = a.v[0], a1 = a.v[1], a2 = a.v[2], a3 = a.v[3], a4 = a.v[4];
  const uint64_t d0 = 2 * a0, d1 = 2 * a1, d2 = 2 * a2;
  const uint64_t a3_19 = 19 * a3, a4_19 = 19 * a4;
  u128 t0 = (u128)a0 * a0 + (u128)d1 * a4_19 + (u128)d2 * a3_19;
  u128 t1 = (u128)d0 * a1 + (u128)d2 * a4_19 + (u128)a3 * a3_19;
  u128 t2 = (u128)d0 * a2 + (u128)a1 * a1 + (u128)(2 * a3) * a4_19;
  u128 t3 = (u128)d0 * a3 + (u128)d1 * a2 + (u128)a4 * a4_19;
  u128 t4 = (u128)d0 * a4 + (u128)d1 * a3 + (u128)a2 * a2;
  return reduce_product(t0, t1, t2, t3, t4);
}

Fe sqr_n(Fe a, int n) {
  for (int i = 0; i < n; ++i) a = sqr(a);
  return a;
}

// z^((p - 5) / 8) = z^(2^252 - 3), by the usual chain of 250 squarings and
// 11 multiplications.
Fe pow_p58(const Fe& z) {
  Fe z2 = sqr(z);
  Fe z9 = mul(sqr_n(z2, 2), z);
  Fe z11 = mul(z9, z2);
  Fe z_5_0 = mul(sqr(z11), z9);                      // z^(2^5 - 1)
  Fe z_10_0 = mul(sqr_n(z_5_0, 5), z_5_0);           // z^(2^10 - 1)
  Fe z_20_0 = mul(sqr_n(z_10_0, 10), z_10_0);        // z^(2^20 - 1)
  Fe z_40_0 = mul(sqr_n(z_20_0, 20), z_20_0);        // z^(2^40 - 1)
  Fe z_50_0 = mul(sqr_n(z_40_0, 10), z_10_0);        // z^(2^50 - 1)
  Fe z_100_0 = mul(sqr_n(z_50_0, 50), z_50_0);       // z^(2^100 - 1)
  Fe z_200_0 = mul(sqr_n(z_100_0, 100), z_100_0);    // z^(2^200 - 1)
  Fe z_250_0 = mul(sqr_n(z_200_0, 50), z_50_0);      // z^(2^250 - 1)
  return mul(sqr_n(z_250_0, 2), z);                  // z^(2^252 - 3)
}

// The unique representative below p, with every limb below 2^51.
Fe canonical(Fe a) {
  carry(a);
  carry(a);
  // Now a < 2^255 + 19, so it holds p at most once: q = 1 exactly when
  // a + 19 reaches 2^255, and then a - p = a + 19 - 2^255.
  uint64_t q = (a.v[0] + 19) >> 51;
  for (int i = 1; i < 5; ++i) q = (a.v[i] + q) >> 51;
  a.v[0] += 19 * q;
  for (int i = 0; i < 4; ++i) {
    a.v[i + 1] += a.v[i] >> 51;
    a.v[i] &= kMask51;
  }
  a.v[4] &= kMask51;
  return a;
}

bool equal(const Fe& a, const Fe& b) {
  Fe ca = canonical(a), cb = canonical(b);
  return std::memcmp(ca.v, cb.v, sizeof ca.v) == 0;
}

}  // namespace

bool ed25519_point_decodes(std::span<const uint8_t, 32> encoded) {
  // x^2 = u / v with u = y^2 - 1 and v = d y^2 + 1; v never vanishes, since
  // -1/d is not a square mod p. The candidate root x = u v^3 (u v^7)^((p-5)/8)
  // satisfies v x^2 = +-u exactly when u / v is a square or zero. y at or
  // above p is used mod p, as the verifier's point arithmetic uses it. The
  // sign bit plays no part: x = 0 with the sign bit set is accepted.
  const Fe one = {{1, 0, 0, 0, 0}};
  const Fe y = from_bytes(encoded.data());
  const Fe yy = sqr(y);
  const Fe u = sub(yy, one);
  const Fe v = add(mul(kD, yy), one);
  const Fe v2 = sqr(v);
  const Fe uv3 = mul(u, mul(v2, v));
  const Fe uv7 = mul(uv3, sqr(v2));
  const Fe x = mul(uv3, pow_p58(uv7));
  const Fe vxx = mul(v, sqr(x));
  return equal(vxx, u) || equal(vxx, sub(Fe{{0, 0, 0, 0, 0}}, u));
}

}  // namespace morvatel
