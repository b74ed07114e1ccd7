#include "json/skip.h"

#include <bit>
#include <cstdint>
#include <cstring>

#include "json/reader.h"
#include "json/scan.h"
#include "utf8_valid.h"

namespace morvatel::json::scan {

namespace {

using Byte = unsigned char;

inline bool is_ws(Byte c) { return c == ' ' || c == '\n' || c == '\t' || c == '\r'; }

inline const Byte* skip_ws(const Byte* p, const Byte* end) {
  while (p < end && is_ws(*p)) ++p;
  return p;
}

inline bool is_hex(Byte c) { return is_digit(c) || ((c | 0x20) >= 'a' && (c | 0x20) <= 'f'); }

// The rest of a string, `p` just past its opening quote: just past its
// closing quote, or null for anything but plain bytes, well-formed UTF-8
// and escapes that are complete and known (raw text: a \u escape needs its
// four hex digits and nothing more).
inline const Byte* string_end(const Byte* s, const Byte* p, const Byte* end) {
  const size_t n = static_cast<size_t>(end - s);
  for (;;) {
    p = s + plain_run(s, static_cast<size_t>(p - s), n);
    if (p == end) return nullptr;
    const Byte c = *p;
    if (c == '"') return p + 1;
    if (c == '\\') {
      if (end - p < 2) return nullptr;
      switch (p[1]) {
        case '"':
        case '\\':
        case '/':
        case 'b':
        case 'f':
        case 'n':
        case 'r':
        case 't': p += 2; continue;
        case 'u':
          if (end - p < 6 || !is_hex(p[2]) || !is_hex(p[3]) || !is_hex(p[4]) || !is_hex(p[5])) {
            return nullptr;
          }
          p += 6;
          continue;
        default: return nullptr;
      }
    }
    if (c < 0x80) return nullptr;  // a control character
    const size_t len = utf8_sequence_length(
        std::string_view(reinterpret_cast<const char*>(p), static_cast<size_t>(end - p)));
    if (len == 0) return nullptr;
    p += len;
  }
}

inline bool literal_at(const Byte* p, const Byte* end, const char* word, size_t len) {
  return static_cast<size_t>(end - p) >= len && std::memcmp(p, word, len) == 0;
}

// Where quotes, digits and the bytes a string cannot take plainly (a
// backslash, a control character, a non-ASCII byte) stand in 64 bytes of
// text, one bit per byte; past the end of the text a block reads as zero
// bytes, which are control characters and end any string or number. With
// them the ends of strings and numbers are found without going over their
// bytes one token at a time. Without vector instructions there are no
// blocks: strings are scanned and digits read a word at a time.
struct Block {
  const Byte* base = nullptr;
  uint64_t quote = 0;
  uint64_t special = 0;
  uint64_t nondigit = 0;
};

#if defined(__SSE2__)
inline void load_block(Block& b, const Byte* base, const Byte* end) {
  b.base = base;
  const Byte* src = base;
  alignas(16) Byte tail[64];
  if (end - base < 64) {
    std::memset(tail, 0, sizeof tail);
    std::memcpy(tail, base, static_cast<size_t>(end - base));
    src = tail;
  }
  const __m128i quote = _mm_set1_epi8('"');
  const __m128i backslash = _mm_set1_epi8('\\');
  const __m128i space = _mm_set1_epi8(0x20);
  // Digits biased to the bottom of the signed range: '0'..'9' become
  // -128..-119.
  const __m128i bias = _mm_set1_epi8(static_cast<char>(0x80 - '0'));
  const __m128i ten = _mm_set1_epi8(-128 + 10);
  uint64_t q = 0, sp = 0, dg = 0;
  for (int i = 0; i < 4; ++i) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 16 * i));
    const auto bits = [](__m128i m) {
      return static_cast<uint64_t>(static_cast<unsigned>(_mm_movemask_epi8(m)));
    };
    q |= bits(_mm_cmpeq_epi8(v, quote)) << (16 * i);
    // Signed compare: bytes >= 0x80 are negative, so "below space" covers
    // control characters and non-ASCII bytes alike.
    sp |= bits(_mm_or_si128(_mm_cmpeq_epi8(v, backslash), _mm_cmplt_epi8(v, space))) << (16 * i);
    dg |= bits(_mm_cmplt_epi8(_mm_add_epi8(v, bias), ten)) << (16 * i);
  }
  b.quote = q;
  b.special = sp;
  b.nondigit = ~dg;
}
#else
inline void load_block(Block&, const Byte*, const Byte*) {}
#endif

// The block that holds `p`, which is at or after the current one's start.
inline void block_at(Block& b, const Byte* p, const Byte* end) {
  if (p - b.base >= 64) load_block(b, b.base + 64 * ((p - b.base) / 64), end);
}

// string_end through the block masks: where the next quote comes with
// nothing special before it, that is the end; anything else is left to
// string_end.
template <bool kVector>
inline const Byte* string_end(Block& b, const Byte* s, const Byte* p, const Byte* end) {
  if constexpr (!kVector) return string_end(s, p, end);
  const Byte* const from = p;
  for (;;) {
    block_at(b, p, end);
    const unsigned off = static_cast<unsigned>(p - b.base);
    const uint64_t q = b.quote >> off;
    const uint64_t x = b.special >> off;
    if (q != 0) {
      const uint64_t before = (q & (0 - q)) - 1;  // the bits below the quote
      if ((x & before) != 0) return string_end(s, from, end);
      return p + std::countr_zero(q) + 1;
    }
    if (x != 0) return string_end(s, from, end);
    p = b.base + 64;
    if (p >= end) return nullptr;
  }
}

// Just past the run of digits at `p`.
template <bool kVector>
inline const Byte* digits_end(Block& b, const Byte* p, const Byte* end) {
  if constexpr (!kVector) {
    // A word at a time.
    while (end - p >= 8) {
      const unsigned k = leading_digits(load_word(reinterpret_cast<const char*>(p)));
      p += k;
      if (k < 8) return p;
    }
    while (p < end && is_digit(*p)) ++p;
    return p;
  }
  for (;;) {
    block_at(b, p, end);
    const uint64_t other = b.nondigit >> (p - b.base);
    if (other != 0) return p + std::countr_zero(other);
    p = b.base + 64;
    if (p >= end) return end;
  }
}

// A number, `p` at its first byte: -?(0|[1-9][0-9]*)(.[0-9]+)?([eE][+-]?[0-9]+)?
template <bool kVector>
inline const Byte* number_end(Block& b, const Byte* p, const Byte* end) {
  p += *p == '-';
  if (p == end) return nullptr;
  if (*p == '0') {
    ++p;
    if (p < end && is_digit(*p)) return nullptr;
  } else if (is_digit(*p)) {
    p = digits_end<kVector>(b, p + 1, end);
  } else {
    return nullptr;
  }
  if (p < end && *p == '.') {
    const Byte* first = ++p;
    p = digits_end<kVector>(b, p, end);
    if (p == first) return nullptr;
  }
  if (p < end && (*p | 0x20) == 'e') {
    ++p;
    if (p < end && (*p == '+' || *p == '-')) ++p;
    if (p == end || !is_digit(*p)) return nullptr;
    p = digits_end<kVector>(b, p + 1, end);
  }
  return p;
}

}  // namespace

template <bool kVector>
size_t skip_value_with(std::string_view text, size_t pos, int depth) {
  const Byte* const s = reinterpret_cast<const Byte*>(text.data());
  const Byte* const end = s + text.size();
  const Byte* p = s + pos;
  // One bit per open container, set for an object; `open` of them, fewer
  // than kMaxDepth.
  uint64_t kinds[(kMaxDepth + 63) / 64] = {};
  int open = 0;
  Block b;
  if constexpr (kVector) load_block(b, p, end);
  auto in_object = [&] { return (kinds[(open - 1) >> 6] >> ((open - 1) & 63)) & 1; };

value:
  if (p == end) return 0;
  switch (*p) {
    case '"':
      p = string_end<kVector>(b, s, p + 1, end);
      if (p == nullptr) return 0;
      goto after_value;
    case '-':
    case '0':
    case '1':
    case '2':
    case '3':
    case '4':
    case '5':
    case '6':
    case '7':
    case '8':
    case '9':
      p = number_end<kVector>(b, p, end);
      if (p == nullptr) return 0;
      goto after_value;
    case 't':
      if (!literal_at(p, end, "true", 4)) return 0;
      p += 4;
      goto after_value;
    case 'f':
      if (!literal_at(p, end, "false", 5)) return 0;
      p += 5;
      goto after_value;
    case 'n':
      if (!literal_at(p, end, "null", 4)) return 0;
      p += 4;
      goto after_value;
    case '[':
    case '{': {
      // The reader's own limit, counted from the depth it is at.
      if (depth + open + 1 >= kMaxDepth) return 0;
      const bool object = *p == '{';
      const uint64_t bit = uint64_t{1} << (open & 63);
      if (object) {
        kinds[open >> 6] |= bit;
      } else {
        kinds[open >> 6] &= ~bit;
      }
      ++open;
      p = skip_ws(p + 1, end);
      if (p == end) return 0;
      if (*p == (object ? '}' : ']')) {
        ++p;
        --open;
        goto after_value;
      }
      if (object) goto key;
      goto value;
    }
    default: return 0;
  }

key:
  // At the key's opening quote.
  if (*p != '"') return 0;
  p = string_end<kVector>(b, s, p + 1, end);
  if (p == nullptr) return 0;
  if (p < end && *p == ':') {
    ++p;
  } else {
    p = skip_ws(p, end);
    if (p == end || *p != ':') return 0;
    ++p;
  }
  if (p < end && !is_ws(*p)) goto value;
  p = skip_ws(p, end);
  goto value;

after_value:
  if (open == 0) return static_cast<size_t>(p - s);
  // The compact forms first: `,"key":` in an object, `,value` in an array.
  if (end - p >= 2 && *p == ',') {
    if (in_object()) {
      if (p[1] == '"') {
        ++p;
        goto key;
      }
    } else if (!is_ws(p[1]) && p[1] != ']') {
      ++p;
      goto value;
    }
  }
  p = skip_ws(p, end);
  if (p == end) return 0;
  if (*p == ',') {
    p = skip_ws(p + 1, end);
    if (p == end) return 0;
    if (in_object()) goto key;
    if (*p == ']') return 0;
    goto value;
  }
  if (*p == (in_object() ? '}' : ']')) {
    ++p;
    --open;
    goto after_value;
  }
  return 0;
}

size_t skip_value(std::string_view text, size_t pos, int depth) {
  return skip_value_with<kVectorScan>(text, pos, depth);
}

size_t skip_value_portable(std::string_view text, size_t pos, int depth) {
  return skip_value_with<false>(text, pos, depth);
}

}  // namespace morvatel::json::scan
