#ifndef MORVATEL_CRYPTO_H_
#define MORVATEL_CRYPTO_H_

// Thin wrappers over OpenSSL's libcrypto. Nothing here allocates per update,
// and nothing throws: a libcrypto failure on these fixed algorithms means the
// library is unusable, which is treated as fatal.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <type_traits>

namespace morvatel {

using Digest32 = std::array<uint8_t, 32>;

// Streaming SHA-256.
class Sha256 {
 public:
  Sha256();
  ~Sha256();
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;

  void update(const void* data, size_t len);
  void update(std::span<const uint8_t> bytes) { update(bytes.data(), bytes.size()); }
  void update(std::string_view s) { update(s.data(), s.size()); }

  // Little-endian fixed-width integers, as every digest layout writes them.
  template <typename T>
  void update_le(T value) {
    uint8_t buf[sizeof(T)];
    auto u = static_cast<std::make_unsigned_t<T>>(value);
    for (size_t i = 0; i < sizeof(T); ++i) buf[i] = static_cast<uint8_t>(u >> (8 * i));
    update(buf, sizeof buf);
  }

  // Finishes the hash; the object must not be updated afterwards.
  Digest32 finish();

 private:
  void* ctx_;  // EVP_MD_CTX
};

Digest32 sha256(std::span<const uint8_t> bytes);
Digest32 sha256(std::string_view bytes);

}  // namespace morvatel

#endif  // MORVATEL_CRYPTO_H_
