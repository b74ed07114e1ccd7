#include "provenance.h"

#include <gtest/gtest.h>

#include <cctype>

#include <string>
#include <vector>

#include "debug_text.h"
#include "digest.h"
#include "keys.h"
#include "text.h"

namespace morvatel::provenance {
namespace {

KernelModel model(uint32_t id, uint16_t quality) {
  KernelModel m;
  m.model_id = id;
  m.provider_id = 1;
  m.quality_bps = quality;
  m.risk_ceiling_bps = 10000;
  m.enabled = 1;
  m.p95_latency_ms = 100;
  m.region_mask = 1;
  m.input_cost_microunits_per_million_tokens = 1000;
  m.output_cost_microunits_per_million_tokens = 2000;
  return m;
}

PolicySnapshot snapshot(uint16_t quality = 9000) {
  PolicyParams p;
  p.policy_epoch = 3;
  p.catalog_epoch = 4;
  p.hard_risk_limit_bps = 9000;
  p.minimum_confidence_bps = 1000;
  p.risk_penalty_multiplier_bps = 10000;
  p.latency_penalty_microunits_per_ms = 1;
  auto s = try_new_trusted(p, {model(1, quality), model(2, 8000)});
  EXPECT_TRUE(s.has_value());
  return *s;
}

Ed25519KeyPair key(uint8_t fill) {
  Ed25519Seed seed;
  seed.fill(fill);
  return Ed25519KeyPair::from_seed(seed);
}

Ed25519VerifyingKey pin(const Ed25519KeyPair& k) {
  auto v = Ed25519VerifyingKey::from_bytes(k.public_key());
  EXPECT_TRUE(v.has_value());
  return *v;
}

std::string verify_text(const SignedPolicy& r, const PolicySnapshot& s,
                        const Ed25519VerifyingKey& k) {
  auto v = verify(r, s, k);
  return v ? std::string("ok") : v.error().message();
}

TEST(ProvenanceTest, SigningMessageLayout) {
  Digest32 d;
  for (size_t i = 0; i < d.size(); ++i) d[i] = static_cast<uint8_t>(0xA0 + i);
  auto m = signing_message(d, 0x0102030405060708ull, "zé");
  std::vector<uint8_t> expected = {'m', 'o', 'r', 'v', 's', 'i', 'g', '1', 0};
  expected.insert(expected.end(), d.begin(), d.end());
  for (uint8_t b : {8, 7, 6, 5, 4, 3, 2, 1}) expected.push_back(b);
  for (char c : std::string("zé")) expected.push_back(static_cast<uint8_t>(c));
  EXPECT_EQ(m, expected);
  EXPECT_EQ(signing_message(d, 0, "").size(), kSigningMessageHeaderBytes);
}

TEST(ProvenanceTest, SignThenVerify) {
  PolicySnapshot s = snapshot();
  auto k = key(7);
  SignedPolicy r = sign_policy(s, k, "signer", 99);
  EXPECT_EQ(r.policy_digest_hex, snapshot_fingerprint(s));
  EXPECT_EQ(r.public_key_hex, hex_lower(k.public_key().data(), 32));
  EXPECT_EQ(r.signature_hex.size(), 128u);
  auto sig = k.sign(signing_message(policy_digest(s), 99, "signer"));
  EXPECT_EQ(r.signature_hex, hex_lower(sig.data(), sig.size()));
  EXPECT_EQ(verify_text(r, s, pin(k)), "ok");
}

TEST(ProvenanceTest, ErrorTexts) {
  EXPECT_EQ(ProvenanceError::policy_digest_mismatch("aa", "bb").message(),
            "policy digest mismatch: artifact signs aa, snapshot digests to bb");
  EXPECT_EQ(ProvenanceError::malformed("signature_hex", "why").message(),
            "malformed signature_hex: why");
  EXPECT_EQ(ProvenanceError::signature_invalid().message(), "signature verification failed");
  EXPECT_EQ(ProvenanceError::untrusted_key().message(),
            "verifying key does not match the pinned trust anchor");
}

TEST(ProvenanceTest, CheckOrder) {
  PolicySnapshot s = snapshot();
  PolicySnapshot other = snapshot(9001);
  auto k = key(7);
  auto wrong = key(8);
  const SignedPolicy good = sign_policy(s, k, "signer", 99);
  SignedPolicy bad_sig = good;
  bad_sig.signature_hex[5] = 'G';

  EXPECT_EQ(verify_text(good, other, pin(wrong)),
            "verifying key does not match the pinned trust anchor");
  EXPECT_EQ(verify_text(bad_sig, other, pin(k)),
            str_cat("policy digest mismatch: artifact signs ", good.policy_digest_hex,
                    ", snapshot digests to ", snapshot_fingerprint(other)));
  EXPECT_EQ(verify_text(bad_sig, s, pin(k)), "malformed signature_hex: invalid hex at offset 5");
  bad_sig.signature_hex.pop_back();
  EXPECT_EQ(verify_text(bad_sig, s, pin(k)),
            "malformed signature_hex: expected 128 hex chars, found 127");

  SignedPolicy later = good;
  later.signed_at_epoch_ms += 1;
  EXPECT_EQ(verify_text(later, s, pin(k)), "signature verification failed");
  SignedPolicy renamed = good;
  renamed.signer_id += '\0';
  EXPECT_EQ(verify_text(renamed, s, pin(k)), "signature verification failed");
  SignedPolicy upper = good;
  for (char& c : upper.public_key_hex) c = static_cast<char>(std::toupper(c));
  EXPECT_EQ(verify_text(upper, s, pin(k)), "verifying key does not match the pinned trust anchor");
}

TEST(ProvenanceTest, JsonRoundTripAndExactText) {
  SignedPolicy r{"d1", "a\"b\\c\n\x01é", 18446744073709551615ull, "k1", "s1"};
  auto text = to_json(r);
  ASSERT_TRUE(text.has_value());
  EXPECT_EQ(*text,
            "{\"policy_digest_hex\":\"d1\",\"signer_id\":\"a\\\"b\\\\c\\n\\u0001é\","
            "\"signed_at_epoch_ms\":18446744073709551615,\"public_key_hex\":\"k1\","
            "\"signature_hex\":\"s1\"}");
  auto back = parse_signed_policy(*text);
  ASSERT_TRUE(back.has_value());
  EXPECT_EQ(back->signer_id, r.signer_id);
  EXPECT_EQ(back->signed_at_epoch_ms, r.signed_at_epoch_ms);
  EXPECT_EQ(json::to_string(to_value(r)), *text);

  auto arr = parse_signed_policy(R"(["d","s",0,"k","g"])");
  ASSERT_TRUE(arr.has_value());
  EXPECT_EQ(arr->signature_hex, "g");
  auto short_arr = parse_signed_policy(R"(["d","s",0,"k"])");
  ASSERT_FALSE(short_arr.has_value());
  EXPECT_EQ(short_arr.error().message(),
            "invalid length 4, expected struct SignedPolicy with 5 elements at line 1 column 15");
}

TEST(DebugTextTest, QuotedForms) {
  EXPECT_EQ(debug_quoted(""), "\"\"");
  EXPECT_EQ(debug_quoted("a'b"), "\"a'b\"");
  EXPECT_EQ(debug_quoted(std::string("\0\t\r\n\\\"", 6)), R"("\0\t\r\n\\\"")");
  EXPECT_EQ(debug_quoted("\x01\x1f\x7f"), R"("\u{1}\u{1f}\u{7f}")");
  EXPECT_EQ(debug_quoted("é✓🔏"), "\"é✓🔏\"");
  EXPECT_EQ(debug_quoted("\xc2\xa0\xe2\x80\x8b\xcc\x81"), R"("\u{a0}\u{200b}\u{301}")");
  EXPECT_EQ(debug_quoted("\xff" "a\xc3"), R"("\x{ff}a\x{c3}")");
}

TEST(DebugTextTest, EscapedCodePoints) {
  for (uint32_t cp : {0x80u, 0x9Fu, 0xA0u, 0xADu, 0x300u, 0x36Fu, 0x2028u, 0x2029u, 0xFEFFu,
                      0xE000u, 0xF8FFu, 0xFFFFu, 0xE0001u, 0x10FFFFu, 0x200Cu}) {
    EXPECT_TRUE(debug_escapes_code_point(cp)) << cp;
  }
  for (uint32_t cp : {0x41u, 0xA1u, 0xE9u, 0x370u, 0x4E00u, 0x2713u, 0x1F50Fu, 0xFFFDu}) {
    EXPECT_FALSE(debug_escapes_code_point(cp)) << cp;
  }
}

}  // namespace
}  // namespace morvatel::provenance
