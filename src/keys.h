#ifndef MORVATEL_KEYS_H_
#define MORVATEL_KEYS_H_

// Checks at the edge of the production layer: caller-supplied bytes turned
// into Ed25519 key material, digest arguments checked as hex text, and the
// short form of a hash that representations print. Nothing here keeps state;
// keys live only as long as the value the caller holds.

#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <string_view>

#include "crypto.h"

namespace morvatel {

// A refused artefact argument; `text` is the whole message.
struct ArtifactError {
  std::string text;
  const std::string& message() const { return text; }
};

// The key pair of a 32-byte seed. Any other length:
// "signing_key must be exactly 32 bytes, found {len}".
std::expected<Ed25519KeyPair, ArtifactError> signing_key(std::span<const uint8_t> bytes);

// A trusted public key. Any other length than 32:
// "trusted_public_key must be exactly 32 bytes, found {len}"; 32 bytes that
// do not decode to a point: "signature error: Cannot decompress Edwards point".
std::expected<Ed25519VerifyingKey, ArtifactError> verifying_key(std::span<const uint8_t> bytes);

// Refuses anything but 64 lowercase hex characters with
// "{field} must contain exactly 64 lowercase ASCII hex characters".
std::expected<void, ArtifactError> validate_hex32(std::string_view field, std::string_view text);

// The first 8 characters of UTF-8 text (a multi-byte character counts once
// and is never cut), or the whole text when shorter.
std::string preview(std::string_view text);

}  // namespace morvatel

#endif  // MORVATEL_KEYS_H_
