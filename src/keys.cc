#include "keys.h"

#include "key_length.h"
#include "text.h"

namespace morvatel {

std::expected<Ed25519KeyPair, ArtifactError> signing_key(std::span<const uint8_t> bytes) {
  if (auto fault = key_length_fault(KeyRole::SigningKey, bytes.size())) {
    return std::unexpected(ArtifactError{std::move(*fault)});
  }
  return Ed25519KeyPair::from_seed(bytes.first<32>());
}

std::expected<Ed25519VerifyingKey, ArtifactError> verifying_key(std::span<const uint8_t> bytes) {
  if (auto fault = key_length_fault(KeyRole::TrustedPublicKey, bytes.size())) {
    return std::unexpected(ArtifactError{std::move(*fault)});
  }
  auto key = Ed25519VerifyingKey::from_bytes(bytes.first<32>());
  if (!key) return std::unexpected(ArtifactError{key.error().message()});
  return std::move(*key);
}

std::expected<void, ArtifactError> validate_hex32(std::string_view field, std::string_view text) {
  if (is_lower_hex64(text)) return {};
  return std::unexpected(
      ArtifactError{str_cat(field, " must contain exactly 64 lowercase ASCII hex characters")});
}

std::string preview(std::string_view text) {
  // Count code points by their lead bytes: a continuation byte (10xxxxxx)
  // never starts a character, so the cut falls only between characters.
  size_t chars = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) {
      if (chars == 8) return std::string(text.substr(0, i));
      ++chars;
    }
  }
  return std::string(text);
}

}  // namespace morvatel
