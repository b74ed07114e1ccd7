#ifndef MORVATEL_CRYPTO_H_
#define MORVATEL_CRYPTO_H_

// Thin wrappers over OpenSSL's libcrypto. Nothing here allocates per update.
// With these fixed algorithms libcrypto fails only when it cannot allocate,
// which is thrown as std::bad_alloc, as the core's containers report it.

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

namespace morvatel {

using Digest32 = std::array<uint8_t, 32>;
using Digest64 = std::array<uint8_t, 64>;

namespace crypto_detail {

// Writes `value` little-endian into `buf`, as every digest layout does.
template <typename T>
void store_le(T value, uint8_t (&buf)[sizeof(T)]) {
  auto u = static_cast<std::make_unsigned_t<T>>(value);
  for (size_t i = 0; i < sizeof(T); ++i) buf[i] = static_cast<uint8_t>(u >> (8 * i));
}

// The byte-feeding overloads every streaming hash and MAC offers, on top of
// the class's own update(const void*, size_t).
template <typename Derived>
class Updates {
 public:
  void update(std::span<const uint8_t> bytes) { self().update(bytes.data(), bytes.size()); }
  void update(std::string_view s) { self().update(s.data(), s.size()); }

  // Little-endian fixed-width integers, as every digest layout writes them.
  template <typename T>
  void update_le(T value) {
    uint8_t buf[sizeof(T)];
    store_le(value, buf);
    self().update(buf, sizeof buf);
  }

 private:
  Derived& self() { return static_cast<Derived&>(*this); }
};

}  // namespace crypto_detail

// Streaming SHA-256.
class Sha256 : public crypto_detail::Updates<Sha256> {
 public:
  Sha256();
  ~Sha256();
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;
  Sha256(Sha256&& o) noexcept : ctx_(std::exchange(o.ctx_, nullptr)) {}
  Sha256& operator=(Sha256&& o) noexcept {
    std::swap(ctx_, o.ctx_);
    return *this;
  }

  using Updates::update;
  void update(const void* data, size_t len);

  // Finishes the hash; the object must not be updated afterwards.
  Digest32 finish();
  // Starts a new hash in the same context, which saves the allocations of
  // a new one for each of many short messages.
  void reset();

 private:
  void* ctx_;  // EVP_MD_CTX
};

Digest32 sha256(std::span<const uint8_t> bytes);
Digest32 sha256(std::string_view bytes);

// Streaming SHA-512.
class Sha512 : public crypto_detail::Updates<Sha512> {
 public:
  Sha512();
  ~Sha512();
  Sha512(const Sha512&) = delete;
  Sha512& operator=(const Sha512&) = delete;

  using Updates::update;
  void update(const void* data, size_t len);

  // Finishes the hash; the object must not be updated afterwards.
  Digest64 finish();

 private:
  void* ctx_;  // EVP_MD_CTX
};

Digest64 sha512(std::span<const uint8_t> bytes);
Digest64 sha512(std::string_view bytes);

// Streaming HMAC-SHA-256 (RFC 2104): a key longer than the 64-byte block is
// replaced by its SHA-256 first. Any key length is accepted here; callers
// that demand a minimum length check it themselves.
class HmacSha256 : public crypto_detail::Updates<HmacSha256> {
 public:
  explicit HmacSha256(std::span<const uint8_t> key);
  ~HmacSha256();
  HmacSha256(const HmacSha256&) = delete;
  HmacSha256& operator=(const HmacSha256&) = delete;
  HmacSha256(HmacSha256&& o) noexcept : ctx_(std::exchange(o.ctx_, nullptr)) {}
  HmacSha256& operator=(HmacSha256&& o) noexcept {
    std::swap(ctx_, o.ctx_);
    return *this;
  }

  // A MAC in the same state as this one. Keying costs two hash blocks and a
  // library look-up; a keyed MAC that nothing has been fed yet, copied once
  // per message, pays that once for all of them.
  HmacSha256 copy() const;

  using Updates::update;
  void update(const void* data, size_t len);

  // Finishes the MAC; the object must not be updated afterwards.
  Digest32 finish();

 private:
  explicit HmacSha256(void* ctx) : ctx_(ctx) {}
  void* ctx_;  // EVP_MAC_CTX
};

Digest32 hmac_sha256(std::span<const uint8_t> key, std::span<const uint8_t> data);
Digest32 hmac_sha256(std::span<const uint8_t> key, std::string_view data);

// Equality of two byte strings in time that depends only on their lengths,
// for comparing secrets and MACs. Strings of different lengths are unequal.
bool constant_time_equal(std::span<const uint8_t> a, std::span<const uint8_t> b);
bool constant_time_equal(std::string_view a, std::string_view b);

// Overwrites memory in a way the compiler cannot elide.
void secure_wipe(void* data, size_t len);

// ---------------------------------------------------------------------------
// Ed25519 (RFC 8032, pure: SHA-512, no context, no pre-hash).

using Ed25519Seed = std::array<uint8_t, 32>;
using Ed25519PublicKey = std::array<uint8_t, 32>;
using Ed25519Signature = std::array<uint8_t, 64>;

// The point decoder's own description of a public key that is not a point.
inline constexpr std::string_view kCannotDecompressPoint = "Cannot decompress Edwards point";

// Failure to load a public key. Its message carries the library prefix
// that every user quotes: "signature error: Cannot decompress Edwards point".
struct Ed25519Error {
  std::string message() const;
};

// True when the 32 bytes decode as a compressed Edwards point of RFC 8032
// section 5.1.3: y is the low 255 bits little-endian (a value of p or above
// is taken mod p, not refused), the top bit is the sign of x, and an x must
// exist for y. A sign bit of 1 with x = 0 is accepted (x = -0 = 0). Points
// of small order are accepted; this is a decoding check, not a key policy.
bool ed25519_point_decodes(std::span<const uint8_t, 32> encoded);

// A key pair derived from a 32-byte seed (RFC 8032 section 5.1.5). Every
// 32-byte seed is valid. The key pair keeps no copy of the seed: the seed and
// the expanded secret exist only inside libcrypto, which wipes them when the
// key pair is destroyed.
class Ed25519KeyPair {
 public:
  static Ed25519KeyPair from_seed(std::span<const uint8_t, 32> seed);

  Ed25519KeyPair(Ed25519KeyPair&& other) noexcept;
  Ed25519KeyPair& operator=(Ed25519KeyPair&& other) noexcept;
  Ed25519KeyPair(const Ed25519KeyPair&) = delete;
  Ed25519KeyPair& operator=(const Ed25519KeyPair&) = delete;
  ~Ed25519KeyPair();

  const Ed25519PublicKey& public_key() const { return public_; }

  // Deterministic signature of `message`. Signing cannot fail.
  Ed25519Signature sign(std::span<const uint8_t> message) const;
  Ed25519Signature sign(std::string_view message) const;

 private:
  Ed25519KeyPair() = default;
  void reset() noexcept;

  Ed25519PublicKey public_{};
  void* pkey_ = nullptr;  // EVP_PKEY holding the seed
};

// A public key whose encoding decodes to a curve point.
class Ed25519VerifyingKey {
 public:
  static std::expected<Ed25519VerifyingKey, Ed25519Error> from_bytes(
      std::span<const uint8_t, 32> encoded);

  const Ed25519PublicKey& bytes() const { return bytes_; }

  // The cofactorless check of RFC 8032 section 5.1.7 with a canonical S
  // (S < L) and a byte comparison of the recomputed R. Keys and R values of
  // small order are not refused. A signature that is not 64 bytes fails.
  // A check that cannot allocate what it needs throws std::bad_alloc: it is
  // never taken for a mismatch.
  bool verify(std::span<const uint8_t> message, std::span<const uint8_t> signature) const;
  bool verify(std::string_view message, std::span<const uint8_t> signature) const;

 private:
  explicit Ed25519VerifyingKey(const Ed25519PublicKey& b) : bytes_(b) {}
  Ed25519PublicKey bytes_;
};

}  // namespace morvatel

#endif  // MORVATEL_CRYPTO_H_
