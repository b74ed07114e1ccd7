#ifndef MORVATEL_KEY_LENGTH_H_
#define MORVATEL_KEY_LENGTH_H_

// The length every kind of key is held to, and the one message that says
// so when a key has another: Ed25519 seeds and public keys are exactly 32
// bytes, a log's HMAC key at least 32.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace morvatel {

inline constexpr size_t kKeyBytes = 32;

// What a key is for; each names the key in its message.
enum class KeyRole : uint8_t {
  SigningKey,        // "signing_key must be exactly 32 bytes, found {len}"
  TrustedPublicKey,  // "trusted_public_key must be exactly 32 bytes, found {len}"
  HmacKey,           // "hmac_key must be at least 32 bytes, found {len}"
  WalHmacKey,        // "WAL HMAC key must be at least 32 bytes, found {len}"
};

// The message for a key of `len` bytes that does not fit `role`, or nothing
// when it fits.
std::optional<std::string> key_length_fault(KeyRole role, size_t len);

}  // namespace morvatel

#endif  // MORVATEL_KEY_LENGTH_H_
