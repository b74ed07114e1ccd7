// Feeds arbitrary text to the receipt reader. A receipt read from JSON holds
// whatever its text held, so beyond "no crash, no sanitizer report" this
// checks that every operation that examines such a receipt answers with a
// value (never a crash or a throw), and that whatever is accepted reads back
// unchanged from its own written form.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_check.h"
#include "crypto.h"
#include "receipt.h"
#include "receipt_json.h"

namespace morvatel {
namespace {

using fuzzing::check;

const Ed25519VerifyingKey& trusted() {
  static const Ed25519KeyPair pair = [] {
    Ed25519Seed seed{};
    seed[0] = 7;
    return Ed25519KeyPair::from_seed(seed);
  }();
  static const Ed25519VerifyingKey key = *Ed25519VerifyingKey::from_bytes(pair.public_key());
  return key;
}

}  // namespace
}  // namespace morvatel

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace morvatel;
  std::string_view text(reinterpret_cast<const char*>(data), size);
  auto r = parse_receipt(text);
  if (!r) {
    check(r.error().line >= 1);
    return 0;
  }
  const std::string written = receipt_to_json(*r);
  auto again = parse_receipt(written);
  check(again.has_value() && *again == *r);
  check(receipt_to_json(*again) == written);

  auto digest = receipt_claims_digest(*r);
  check(digest.has_value() || !digest.error().message().empty());
  (void)verify_receipt_signature(*r, trusted());
  (void)verify_receipt_state(*r, ReceiptState{});
  (void)verify_receipt_wal(*r, ReceiptWal{});
  return 0;
}
