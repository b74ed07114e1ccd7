#include "key_length.h"

#include <string_view>

#include "text.h"

namespace morvatel {

namespace {

struct LengthRule {
  std::string_view name;
  bool exact;  // otherwise a minimum
};

// In KeyRole's order.
constexpr LengthRule kRules[] = {
    {"signing_key", true},
    {"trusted_public_key", true},
    {"hmac_key", false},
    {"WAL HMAC key", false},
};

}  // namespace

std::optional<std::string> key_length_fault(KeyRole role, size_t len) {
  const LengthRule& rule = kRules[static_cast<size_t>(role)];
  if (rule.exact ? len == kKeyBytes : len >= kKeyBytes) return std::nullopt;
  return str_cat(rule.name, " must be ", rule.exact ? "exactly " : "at least ", kKeyBytes,
                 " bytes, found ", len);
}

}  // namespace morvatel
