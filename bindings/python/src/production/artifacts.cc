#include "production/artifacts.h"

#include "key_length.h"
#include "production/exceptions.h"

namespace morvatel::py {

namespace {

std::span<const uint8_t> as_bytes(std::string_view s) {
  return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}

}  // namespace

std::optional<Ed25519KeyPair> signing_key(std::span<const uint8_t> bytes) {
  auto key = morvatel::signing_key(bytes);
  if (!key) {
    raise_error(ErrorClass::ArtifactValidation, key.error().message());
    return std::nullopt;
  }
  return std::move(*key);
}

std::optional<Ed25519KeyPair> signing_key(std::string_view bytes) {
  return signing_key(as_bytes(bytes));
}

std::optional<Ed25519VerifyingKey> verifying_key(std::span<const uint8_t> bytes) {
  auto key = morvatel::verifying_key(bytes);
  if (!key) {
    raise_error(ErrorClass::ArtifactValidation, key.error().message());
    return std::nullopt;
  }
  return *key;
}

std::optional<Ed25519VerifyingKey> verifying_key(std::string_view bytes) {
  return verifying_key(as_bytes(bytes));
}

bool validate_hex32(std::string_view field, std::string_view text) {
  auto r = morvatel::validate_hex32(field, text);
  if (!r) {
    raise_error(ErrorClass::ArtifactValidation, r.error().message());
    return false;
  }
  return true;
}

bool check_hmac_key(std::string_view key) {
  auto fault = key_length_fault(KeyRole::HmacKey, key.size());
  if (!fault) return true;
  raise_error(ErrorClass::ArtifactValidation, *fault);
  return false;
}

}  // namespace morvatel::py
