#include "debug_text.h"

#include <gtest/gtest.h>

#include <string>

namespace morvatel {
namespace {

TEST(DebugTextTest, QuotedForms) {
  EXPECT_EQ(debug_quoted(""), "\"\"");
  EXPECT_EQ(debug_quoted("a'b"), "\"a'b\"");
  EXPECT_EQ(debug_quoted(std::string("\0\t\r\n\\\"", 6)), R"("\0\t\r\n\\\"")");
  EXPECT_EQ(debug_quoted("\x01\x1f\x7f"), R"("\u{1}\u{1f}\u{7f}")");
  EXPECT_EQ(debug_quoted("é✓🔏"), "\"é✓🔏\"");
  EXPECT_EQ(debug_quoted("\xc2\xa0\xe2\x80\x8b\xcc\x81"), R"("\u{a0}\u{200b}\u{301}")");
  EXPECT_EQ(debug_quoted("\xff"
                         "a\xc3"),
            R"("\x{ff}a\x{c3}")");
}

// The path and lossy forms share debug_quoted's walk but must not take its
// code-point escapes or its \x{..} form.
TEST(DebugTextTest, PathAndLossyForms) {
  const std::string in = "a\"\n\x01\xc2\xa0\xff\xe2\x80";
  EXPECT_EQ(escape_text(in, kPathText), "\"a\\\"\\n\\u{1}\xc2\xa0\\xff\\xe2\\x80\"");
  EXPECT_EQ(escape_text(in, kLossyText), "a\"\n\x01\xc2\xa0\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd");
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
}  // namespace morvatel
