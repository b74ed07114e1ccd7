#include "keys.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "text.h"

namespace morvatel {
namespace {

std::span<const uint8_t> bytes_of(std::string_view s) {
  return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}

TEST(KeysTest, LengthsOtherThan32AreRefusedWithTheLengthGiven) {
  for (size_t len : {0, 1, 31, 33, 64}) {
    std::string b(len, 'k');
    auto sk = signing_key(bytes_of(b));
    ASSERT_FALSE(sk.has_value());
    EXPECT_EQ(sk.error().message(), str_cat("signing_key must be exactly 32 bytes, found ", len));
    auto vk = verifying_key(bytes_of(b));
    ASSERT_FALSE(vk.has_value());
    EXPECT_EQ(vk.error().message(),
              str_cat("trusted_public_key must be exactly 32 bytes, found ", len));
  }
}

TEST(KeysTest, Hex32) {
  const std::string good(64, 'a');
  EXPECT_TRUE(validate_hex32("entry_hash", good).has_value());
  EXPECT_TRUE(validate_hex32("entry_hash",
                             "0123456789abcdef0123456789abcdef"
                             "0123456789abcdef0123456789abcdef")
                  .has_value());
  std::string upper = good;
  upper[10] = 'A';
  std::string multibyte = std::string(62, 'a') + "\xc3\xa9";  // 64 bytes, 63 characters
  std::string nul = good;
  nul[3] = '\0';
  for (const std::string& bad : {upper, std::string(63, 'a'), std::string(65, 'a'), multibyte, nul,
                                 std::string(), std::string(64, 'g')}) {
    auto r = validate_hex32("state_digest_before_hex", bad);
    ASSERT_FALSE(r.has_value()) << bad;
    EXPECT_EQ(r.error().message(),
              "state_digest_before_hex must contain exactly 64 lowercase ASCII hex characters");
  }
}

TEST(KeysTest, PreviewCountsCharactersNotBytes) {
  EXPECT_EQ(preview("abcde"), "abcde");
  EXPECT_EQ(preview("012345678"), "01234567");
  // Two-, three- and four-byte characters count once each and are kept whole.
  EXPECT_EQ(preview("\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80"
                    "abcdefgh"),
            "\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80"
            "abcde");
}

}  // namespace
}  // namespace morvatel
