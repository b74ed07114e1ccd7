#ifndef MORVATEL_PY_PRODUCTION_ARTIFACTS_H_
#define MORVATEL_PY_PRODUCTION_ARTIFACTS_H_

// The artefact helpers of the production layer as the production classes
// call them: the core checks of keys.h, raising ArtifactValidationError with
// the core's text on failure. Each returns an empty optional (or false) with
// the exception set.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "keys.h"
#include "lib/py.h"

namespace morvatel::py {

std::optional<Ed25519KeyPair> signing_key(std::span<const uint8_t> bytes);
std::optional<Ed25519KeyPair> signing_key(std::string_view bytes);

std::optional<Ed25519VerifyingKey> verifying_key(std::span<const uint8_t> bytes);
std::optional<Ed25519VerifyingKey> verifying_key(std::string_view bytes);

bool validate_hex32(std::string_view field, std::string_view text);

// False for an `hmac_key` argument shorter than a log's key must be.
bool check_hmac_key(std::string_view key);

// Cannot fail.
inline std::string preview(std::string_view text) { return morvatel::preview(text); }

}  // namespace morvatel::py

#endif  // MORVATEL_PY_PRODUCTION_ARTIFACTS_H_
