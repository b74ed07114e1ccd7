#ifndef MORVATEL_UTF8_VALID_H_
#define MORVATEL_UTF8_VALID_H_

// Validation of UTF-8 as the standard defines it: no overlong forms, no
// surrogates, nothing above U+10FFFF.

#include <cstddef>
#include <string_view>

namespace morvatel {

// Length of the well-formed UTF-8 sequence that starts `s`, or 0 when `s` is
// empty or does not start with one. Inline: the JSON reader calls it for
// every non-ASCII character of every string.
inline size_t utf8_sequence_length(std::string_view s) {
  if (s.empty()) return 0;
  auto b = [&](size_t i) { return static_cast<unsigned char>(s[i]); };
  unsigned char c = b(0);
  if (c < 0x80) return 1;
  size_t len;
  unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
  if (c >= 0xC2 && c <= 0xDF) {
    len = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    len = 3;
    if (c == 0xE0) lo = 0xA0;  // no overlong forms
    if (c == 0xED) hi = 0x9F;  // no surrogates
  } else if (c >= 0xF0 && c <= 0xF4) {
    len = 4;
    if (c == 0xF0) lo = 0x90;  // no overlong forms
    if (c == 0xF4) hi = 0x8F;  // nothing above U+10FFFF
  } else {
    return 0;
  }
  if (s.size() < len) return 0;
  if (b(1) < lo || b(1) > hi) return 0;
  for (size_t i = 2; i < len; ++i) {
    if ((b(i) & 0xC0) != 0x80) return 0;
  }
  return len;
}

// True when all of `s` is well-formed UTF-8.
bool is_valid_utf8(std::string_view s);

}  // namespace morvatel

#endif  // MORVATEL_UTF8_VALID_H_
