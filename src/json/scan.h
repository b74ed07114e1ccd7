#ifndef MORVATEL_JSON_SCAN_H_
#define MORVATEL_JSON_SCAN_H_

// The byte-level tests the reader's parts share: runs of plain string
// bytes, digits a word at a time. Internal to the reader.

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "json/error.h"

namespace morvatel::json::scan {

using Cat = Error::Category;

// Bytes a string can take without a closer look: printable ASCII other than
// the quote and the backslash.
constexpr auto kPlain = [] {
  struct Table {
    bool p[256] = {};
  } t;
  for (int c = 0x20; c < 0x80; ++c) t.p[c] = true;
  t.p[static_cast<unsigned char>('"')] = false;
  t.p[static_cast<unsigned char>('\\')] = false;
  return t;
}();

// Index of the first byte at or after `pos` that a string cannot take as it
// is: a quote, a backslash, a control character or a non-ASCII byte (which
// then gets its UTF-8 check). Sixteen bytes at a time where SSE2 exists.
inline size_t plain_run(const unsigned char* s, size_t pos, size_t n) {
#if defined(__SSE2__)
  const __m128i quote = _mm_set1_epi8('"');
  const __m128i backslash = _mm_set1_epi8('\\');
  const __m128i space = _mm_set1_epi8(0x20);
  while (n - pos >= 16) {
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + pos));
    // Signed compare: bytes >= 0x80 are negative, so "below space" covers
    // control characters and non-ASCII bytes alike.
    __m128i stop = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, quote),
                                             _mm_cmpeq_epi8(v, backslash)),
                                _mm_cmplt_epi8(v, space));
    int mask = _mm_movemask_epi8(stop);
    if (mask != 0) return pos + static_cast<size_t>(__builtin_ctz(static_cast<unsigned>(mask)));
    pos += 16;
  }
#endif
  while (pos < n && kPlain.p[s[pos]]) ++pos;
  return pos;
}

inline bool is_digit(int c) { return c >= '0' && c <= '9'; }

// Eight bytes of text as one little-endian word: the first byte lowest.
inline uint64_t load_word(const char* p) {
  uint64_t w;
  std::memcpy(&w, p, sizeof w);
  if constexpr (std::endian::native == std::endian::big) w = std::byteswap(w);
  return w;
}

constexpr uint64_t kBytes(uint8_t b) { return 0x0101010101010101ull * b; }

// How many of the word's bytes, from the first, are ASCII digits (0..8).
inline unsigned leading_digits(uint64_t w) {
  // A digit has high nibble 3 both as it is and after adding 6, which
  // moves ':'..'?' out of it. A carry out of a byte >= 0xFA only disturbs
  // the bytes after it, and those come after a non-digit anyway.
  const uint64_t t = ((w & kBytes(0xF0)) ^ kBytes(0x30)) |
                     (((w + kBytes(0x06)) & kBytes(0xF0)) ^ kBytes(0x30));
  // t is zero exactly in the digit bytes; mark the others' top bits.
  const uint64_t other = (((t & kBytes(0x7F)) + kBytes(0x7F)) | t) & kBytes(0x80);
  return other == 0 ? 8 : static_cast<unsigned>(std::countr_zero(other)) / 8;
}

// The value of the first k (1..8) bytes of w, which are digits.
inline uint64_t digits_value(uint64_t w, unsigned k) {
  // Subtracting '0' can only borrow upwards out of a non-digit byte, and
  // the shift drops those bytes; the freed low bytes act as leading zeros.
  uint64_t v = (w - kBytes('0')) << (8 * (8 - k));
  v = v * 10 + (v >> 8);  // pairs of digits
  return (((v & 0x000000FF000000FFull) * (100 + (1000000ull << 32))) +
          (((v >> 16) & 0x000000FF000000FFull) * (1 + (10000ull << 32)))) >>
         32;
}

}  // namespace morvatel::json::scan

#endif  // MORVATEL_JSON_SCAN_H_
