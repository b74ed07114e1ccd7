#include "provenance.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "debug_text.h"

namespace morvatel::provenance {
namespace {

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

// The path and lossy forms share debug_quoted's walk but must not take its
// code-point escapes or its \x{..} form.
TEST(DebugTextTest, PathAndLossyForms) {
  const std::string in = "a\"\n\x01\xc2\xa0\xff\xe2\x80";
  EXPECT_EQ(escape_text(in, kPathText), "\"a\\\"\\n\\u{1}\xc2\xa0\\xff\\xe2\\x80\"");
  EXPECT_EQ(escape_text(in, kLossyText),
            "a\"\n\x01\xc2\xa0\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd");
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
