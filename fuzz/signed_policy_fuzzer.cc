// Feeds arbitrary text to the signed-policy reader (and every accepted record
// to verification), to the representation's quoting, and to signing as a
// signer name. Beyond "no crash, no sanitizer report": an accepted record
// written again reads back to the same five values, a record the fuzzer did
// not sign never verifies, one it signed verifies after a trip through JSON
// and fails once its name changes, and the quoted form of any UTF-8 text is
// UTF-8 that starts and ends with a quote and holds no line feed.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_check.h"
#include "debug_text.h"
#include "provenance.h"
#include "utf8_valid.h"

namespace morvatel::provenance {
namespace {

const PolicySnapshot& fixed_snapshot() {
  static const PolicySnapshot snapshot = [] {
    PolicyParams p;
    p.hard_risk_limit_bps = 9000;
    KernelModel m;
    m.model_id = 1;
    m.enabled = 1;
    return *try_new_trusted(p, {m});
  }();
  return snapshot;
}

bool same(const SignedPolicy& a, const SignedPolicy& b) {
  return a.policy_digest_hex == b.policy_digest_hex && a.signer_id == b.signer_id &&
         a.signed_at_epoch_ms == b.signed_at_epoch_ms && a.public_key_hex == b.public_key_hex &&
         a.signature_hex == b.signature_hex;
}

}  // namespace
}  // namespace morvatel::provenance

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace morvatel;
  using namespace morvatel::provenance;
  using fuzzing::check;
  std::string_view text(reinterpret_cast<const char*>(data), size);

  // Quoting keeps well-formed text well-formed and never lets a bare quote
  // or line break through.
  if (is_valid_utf8(text)) {
    std::string quoted = debug_quoted(text);
    std::string_view inner = std::string_view(quoted).substr(1, quoted.size() - 2);
    check(quoted.size() >= 2 && quoted.front() == '"' && quoted.back() == '"' &&
          is_valid_utf8(quoted) && inner.find('\n') == std::string_view::npos);
  }

  static const Ed25519KeyPair key = [] {
    Ed25519Seed seed;
    seed.fill(0x42);
    return Ed25519KeyPair::from_seed(seed);
  }();
  static const Ed25519VerifyingKey pinned = *Ed25519VerifyingKey::from_bytes(key.public_key());

  // Signer names come from Python strings, so they are always UTF-8.
  if (is_valid_utf8(text)) {
    SignedPolicy mine = sign_policy(fixed_snapshot(), key, text, size);
    auto written = to_json(mine);
    check(written.has_value());
    auto back = parse_signed_policy(*written);
    check(back && same(mine, *back) && verify(*back, fixed_snapshot(), pinned));
    back->signer_id.push_back('.');
    auto changed = verify(*back, fixed_snapshot(), pinned);
    check(!changed && changed.error().kind == ProvenanceError::Kind::SignatureInvalid);
  }

  auto record = parse_signed_policy(text);
  if (!record) return 0;
  auto written = to_json(*record);
  check(written.has_value());
  auto again = parse_signed_policy(*written);
  check(again && same(*record, *again));
  // Forging a signature by mutation would be a break of Ed25519.
  check(!verify(*record, fixed_snapshot(), pinned));
  return 0;
}
