#include "json/reader.h"

#include <charconv>
#include <bit>
#include <cmath>
#include <cstring>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "json/record.h"
#include "text.h"
#include "utf8_valid.h"

namespace morvatel::json {

namespace {

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
    __m128i stop = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, quote), _mm_cmpeq_epi8(v, backslash)),
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

constexpr double kPow10Double[] = {1e0, 1e1, 1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                   1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15};

constexpr uint64_t kPow10[] = {1,         10,         100,         1000,       10000,
                               100000,    1000000,    10000000,    100000000};

// Whether the n bytes at a and b are the same; inline and a word at a time
// for the short names of record fields.
inline bool same_bytes(const char* a, const char* b, size_t n) {
  if (n >= 8) {
    for (size_t i = 0; i + 8 < n; i += 8) {
      if (load_word(a + i) != load_word(b + i)) return false;
    }
    return load_word(a + n - 8) == load_word(b + n - 8);
  }
  if (n >= 4) {
    uint32_t x, y, u, v;
    std::memcpy(&x, a, 4);
    std::memcpy(&y, b, 4);
    std::memcpy(&u, a + n - 4, 4);
    std::memcpy(&v, b + n - 4, 4);
    return x == y && u == v;
  }
  for (size_t i = 0; i < n; ++i) {
    if (a[i] != b[i]) return false;
  }
  return true;
}

void append_utf8(std::string& out, uint32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

int hex_digit(int c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string struct_name(const RecordSpec& spec) { return str_cat("struct ", spec.name); }

}  // namespace

// --- positions -----------------------------------------------------------------

namespace {

Error at_index(std::string_view in, size_t index, Cat c, std::string description) {
  size_t line = 1;
  size_t line_start = 0;
  for (size_t i = 0; i < index; ++i) {
    if (in[i] == '\n') {
      ++line;
      line_start = i + 1;
    }
  }
  return Error{c, std::move(description), line, index - line_start};
}

}  // namespace

Error Reader::error_here(Cat c, std::string description) const {
  return at_index(in_, pos_, c, std::move(description));
}

Error Reader::error_next(Cat c, std::string description) const {
  return at_index(in_, std::min(in_.size(), pos_ + 1), c, std::move(description));
}

Error Reader::positioned(Error e) const {
  if (e.line != 0) return e;
  Error p = error_here(e.category, std::string());
  p.description = std::move(e.description);
  return p;
}

// --- lexical pieces --------------------------------------------------------------


Result<void> Reader::enter() {
  if (depth_ + 1 >= kMaxDepth) {
    return std::unexpected(error_next(Cat::Syntax, "recursion limit exceeded"));
  }
  ++depth_;
  return {};
}

Result<void> Reader::ident(const char* rest) {
  for (; *rest != 0; ++rest) {
    if (pos_ == in_.size()) return std::unexpected(error_here(Cat::Eof, "EOF while parsing a value"));
    if (in_[pos_++] != *rest) return std::unexpected(error_here(Cat::Syntax, "expected ident"));
  }
  return {};
}

Result<uint32_t> Reader::hex4() {
  if (in_.size() - pos_ < 4) {
    pos_ = in_.size();
    return std::unexpected(error_here(Cat::Eof, "EOF while parsing a string"));
  }
  uint32_t v = 0;
  bool ok = true;
  for (int i = 0; i < 4; ++i) {
    int d = hex_digit(static_cast<unsigned char>(in_[pos_ + i]));
    ok &= d >= 0;
    v = (v << 4) | static_cast<uint32_t>(d & 0xF);
  }
  pos_ += 4;
  if (!ok) return std::unexpected(error_here(Cat::Syntax, "invalid escape"));
  return v;
}

Result<void> Reader::unicode_escape(std::string* out, bool check) {
  auto n = hex4();
  if (!n) return std::unexpected(std::move(n.error()));
  uint32_t cp = *n;
  if (!check) return {};  // raw text: the escape's syntax is all that matters
  if (cp >= 0xDC00 && cp <= 0xDFFF) {
    return std::unexpected(error_here(Cat::Syntax, "lone leading surrogate in hex escape"));
  }
  if (cp >= 0xD800 && cp <= 0xDBFF) {
    for (char want : {'\\', 'u'}) {
      if (pos_ == in_.size()) {
        return std::unexpected(error_here(Cat::Eof, "EOF while parsing a string"));
      }
      if (in_[pos_++] != want) {
        return std::unexpected(error_here(Cat::Syntax, "unexpected end of hex escape"));
      }
    }
    auto low = hex4();
    if (!low) return std::unexpected(std::move(low.error()));
    if (*low < 0xDC00 || *low > 0xDFFF) {
      return std::unexpected(error_here(Cat::Syntax, "lone leading surrogate in hex escape"));
    }
    cp = 0x10000 + ((cp - 0xD800) << 10) + (*low - 0xDC00);
  }
  if (out) append_utf8(*out, cp);
  return {};
}

// An object key, the cursor just past its opening quote: a view into the
// input when the key has nothing to decode, else decoded into key_.
Result<std::string_view> Reader::scan_key() {
  const auto* s = reinterpret_cast<const unsigned char*>(in_.data());
  const size_t start = pos_;
  size_t end = plain_run(s, pos_, in_.size());
  if (end < in_.size() && s[end] == '"') {
    pos_ = end + 1;
    return in_.substr(start, end - start);
  }
  key_.clear();
  if (auto r = scan_string(&key_, true); !r) return std::unexpected(std::move(r.error()));
  return std::string_view(key_);
}

// A string skipped for its raw text, the cursor just past its opening
// quote. Most have nothing in them to check beyond their quote.
Result<void> Reader::skip_string() {
  const size_t end = plain_run(reinterpret_cast<const unsigned char*>(in_.data()), pos_, in_.size());
  if (end < in_.size() && in_[end] == '"') {
    pos_ = end + 1;
    return {};
  }
  return scan_string(nullptr, false);
}

// The cursor is just past the opening quote. Invalid UTF-8 is only reported
// once the string is complete (at its closing quote), so an earlier fault in
// the same string (a bad escape, a control character) wins.
Result<void> Reader::scan_string(std::string* out, bool check_surrogates) {
  const auto* s = reinterpret_cast<const unsigned char*>(in_.data());
  const size_t n = in_.size();
  bool bad_utf8 = false;
  size_t start = pos_;
  for (;;) {
    pos_ = plain_run(s, pos_, n);
    if (pos_ == n) return std::unexpected(error_here(Cat::Eof, "EOF while parsing a string"));
    unsigned char c = s[pos_];
    if (c == '"') {
      if (out) out->append(in_.data() + start, pos_ - start);
      ++pos_;
      if (bad_utf8) return std::unexpected(error_here(Cat::Syntax, "invalid unicode code point"));
      return {};
    }
    if (c == '\\') {
      if (out) out->append(in_.data() + start, pos_ - start);
      ++pos_;
      if (pos_ == n) return std::unexpected(error_here(Cat::Eof, "EOF while parsing a string"));
      char e = in_[pos_++];
      char lit = 0;
      switch (e) {
        case '"': lit = '"'; break;
        case '\\': lit = '\\'; break;
        case '/': lit = '/'; break;
        case 'b': lit = '\b'; break;
        case 'f': lit = '\f'; break;
        case 'n': lit = '\n'; break;
        case 'r': lit = '\r'; break;
        case 't': lit = '\t'; break;
        case 'u':
          if (auto r = unicode_escape(out, check_surrogates); !r) return r;
          break;
        default:
          return std::unexpected(error_here(Cat::Syntax, "invalid escape"));
      }
      if (lit != 0 && out) out->push_back(lit);
      start = pos_;
      continue;
    }
    if (c >= 0x80) {
      size_t len = utf8_sequence_length(in_.substr(pos_));
      if (len == 0) {
        bad_utf8 = true;
        len = 1;
      }
      pos_ += len;
      continue;
    }
    ++pos_;
    return std::unexpected(
        error_here(Cat::Syntax, "control character (\\u0000-\\u001F) found while parsing a string"));
  }
}

Result<void> Reader::scan_number(bool& float_form, uint64_t& value, bool& overflow) {
  const size_t n = in_.size();
  float_form = false;
  overflow = false;
  if (in_[pos_] == '-') ++pos_;
  if (pos_ == n) return std::unexpected(error_here(Cat::Eof, "EOF while parsing a value"));
  int c = static_cast<unsigned char>(in_[pos_++]);
  if (c == '0') {
    value = 0;
    if (is_digit(peek())) return std::unexpected(error_next(Cat::Syntax, "invalid number"));
  } else if (c >= '1' && c <= '9') {
    const size_t first = pos_ - 1;
    while (pos_ < n && is_digit(static_cast<unsigned char>(in_[pos_]))) ++pos_;
    uint64_t v = 0;
    if (pos_ - first <= 19) {  // cannot overflow
      for (size_t i = first; i < pos_; ++i) v = v * 10 + static_cast<uint64_t>(in_[i] - '0');
    } else {
      for (size_t i = first; i < pos_ && !overflow; ++i) {
        uint64_t d = static_cast<uint64_t>(in_[i] - '0');
        overflow = v > (UINT64_MAX - d) / 10;
        v = v * 10 + d;
      }
    }
    value = v;
  } else {
    return std::unexpected(error_here(Cat::Syntax, "invalid number"));
  }
  if (peek() == '.') {
    ++pos_;
    size_t digits = pos_;
    while (is_digit(peek())) ++pos_;
    if (pos_ == digits) {
      if (pos_ == n) return std::unexpected(error_next(Cat::Eof, "EOF while parsing a value"));
      return std::unexpected(error_next(Cat::Syntax, "invalid number"));
    }
    float_form = true;
  }
  if (peek() == 'e' || peek() == 'E') {
    ++pos_;
    if (peek() == '+' || peek() == '-') ++pos_;
    if (pos_ == n) return std::unexpected(error_here(Cat::Eof, "EOF while parsing a value"));
    if (!is_digit(static_cast<unsigned char>(in_[pos_++]))) {
      return std::unexpected(error_here(Cat::Syntax, "invalid number"));
    }
    while (is_digit(peek())) ++pos_;
    float_form = true;
  }
  return {};
}

size_t Reader::plain_integer(uint64_t& magnitude, bool& negative) const {
  const char* const begin = in_.data();
  const char* const end = begin + in_.size();
  const char* p = begin + pos_;
  negative = p < end && *p == '-';
  p += negative;
  if (end - p >= 24) {
    // A word at a time: at most three words for the 20 digits of 2^64.
    uint64_t w = load_word(p);
    unsigned k = leading_digits(w);
    if (k == 0) return 0;
    // A leading zero must stand alone, and not after a minus ("-0" reads
    // as a double).
    if ((w & 0xFF) == '0' && (k > 1 || negative)) return 0;
    uint64_t v = digits_value(w, k);
    if (k < 8) {
      // The byte after the digits is still in the word.
      const unsigned next = static_cast<unsigned>(w >> (8 * k)) & 0xFF;
      if (next == '.' || (next | 0x20) == 'e') return 0;
      magnitude = v;
      return static_cast<size_t>(p + k - begin);
    }
    const char* q = p + 8;
    w = load_word(q);
    k = leading_digits(w);
    if (k != 0) v = v * kPow10[k] + digits_value(w, k);
    q += k;
    if (k == 8) {
      w = load_word(q);
      k = leading_digits(w);
      if (k > 4) return 0;
      if (k != 0 && (__builtin_mul_overflow(v, kPow10[k], &v) ||
                     __builtin_add_overflow(v, digits_value(w, k), &v))) {
        return 0;
      }
      q += k;
    }
    if (*q == '.' || *q == 'e' || *q == 'E') return 0;
    magnitude = v;
    return static_cast<size_t>(q - begin);
  }
  if (p == end || !is_digit(static_cast<unsigned char>(*p))) return 0;
  uint64_t v = 0;
  const char* q = p;
  for (; q < end && is_digit(static_cast<unsigned char>(*q)); ++q) {
    if (q - p == 20 || __builtin_mul_overflow(v, 10, &v) ||
        __builtin_add_overflow(v, static_cast<uint64_t>(*q - '0'), &v)) {
      return 0;
    }
  }
  if (*p == '0' && q - p > 1) return 0;  // a leading zero
  if (negative && v == 0) return 0;      // "-0" reads as a double
  if (q < end && (*q == '.' || *q == 'e' || *q == 'E')) return 0;
  magnitude = v;
  return static_cast<size_t>(q - begin);
}

Result<Number> Reader::parse_number() {
  // Fast path: a plain integer within 64 bits needs none of the checks
  // below.
  {
    uint64_t magnitude = 0;
    bool negative = false;
    if (size_t end = plain_integer(magnitude, negative); end != 0) {
      Number num;
      if (!negative) {
        num.u = magnitude;
        pos_ = end;
        return num;
      }
      if (magnitude <= (uint64_t{1} << 63)) {
        num.kind = Number::Kind::I64;
        num.i = static_cast<int64_t>(0 - magnitude);
        pos_ = end;
        return num;
      }
    }
  }
  // A short decimal fraction ("12.5", "-0.25"): its at most 15 digits make
  // an integer below 2^53 and 10^f is exact, so one division rounds the way
  // reading the decimal does.
  {
    const char* const begin = in_.data();
    const char* const end = begin + in_.size();
    const char* p = begin + pos_;
    const bool negative = *p == '-';
    p += negative;
    const char* q = p;
    uint64_t m = 0;
    for (; q < end && is_digit(static_cast<unsigned char>(*q)) && q - p < 16; ++q) {
      m = m * 10 + static_cast<uint64_t>(*q - '0');
    }
    const ptrdiff_t int_digits = q - p;
    if (int_digits > 0 && int_digits < 16 && (*p != '0' || int_digits == 1) && q < end && *q == '.') {
      const char* const fraction = ++q;
      for (; q < end && is_digit(static_cast<unsigned char>(*q)) && (q - fraction) + int_digits < 15; ++q) {
        m = m * 10 + static_cast<uint64_t>(*q - '0');
      }
      const ptrdiff_t frac_digits = q - fraction;
      if (frac_digits > 0 &&
          (q == end || (!is_digit(static_cast<unsigned char>(*q)) && *q != 'e' && *q != 'E'))) {
        const double d = static_cast<double>(m) / kPow10Double[frac_digits];
        Number num;
        num.kind = Number::Kind::F64;
        num.d = negative ? -d : d;
        pos_ = static_cast<size_t>(q - begin);
        return num;
      }
    }
  }
  const size_t start = pos_;
  bool float_form = false;
  bool overflow = false;
  uint64_t v = 0;
  // Integers accumulate exactly in 64 bits while they are scanned; only a
  // value that does not fit, a fraction or an exponent makes a double.
  if (auto r = scan_number(float_form, v, overflow); !r) return std::unexpected(std::move(r.error()));
  const bool negative = in_[start] == '-';
  Number num;
  if (!float_form) {
    if (!overflow) {
      if (!negative) {
        num.kind = Number::Kind::U64;
        num.u = v;
        return num;
      }
      if (v != 0 && v <= (uint64_t{1} << 63)) {
        num.kind = Number::Kind::I64;
        num.i = static_cast<int64_t>(0 - v);
        return num;
      }
      num.kind = Number::Kind::F64;
      num.d = -static_cast<double>(v);  // "-0" and below the signed range
      return num;
    }
  }
  num.kind = Number::Kind::F64;
  double d = 0;
  auto res = std::from_chars(in_.data() + start, in_.data() + pos_, d);
  if (res.ec == std::errc::result_out_of_range) {
    // Overflow is an error; underflow reads as zero. Tell them apart by
    // the decimal magnitude: position of the first significant digit plus
    // the exponent.
    long long mag = 0;
    size_t i = start + negative;
    size_t int_digits = 0;
    bool seen_nonzero = false;
    long long frac_zeros = 0;
    for (; i < pos_ && is_digit(static_cast<unsigned char>(in_[i])); ++i) {
      if (in_[i] != '0' || seen_nonzero) {
        seen_nonzero = true;
        ++int_digits;
      }
    }
    if (i < pos_ && in_[i] == '.') {
      for (++i; i < pos_ && is_digit(static_cast<unsigned char>(in_[i])); ++i) {
        if (!seen_nonzero) {
          if (in_[i] == '0') {
            ++frac_zeros;
          } else {
            seen_nonzero = true;
          }
        }
      }
    }
    long long exp = 0;
    if (i < pos_ && (in_[i] == 'e' || in_[i] == 'E')) {
      ++i;
      bool eneg = false;
      if (in_[i] == '+' || in_[i] == '-') eneg = in_[i++] == '-';
      for (; i < pos_; ++i) {
        if (exp < 100000000) exp = exp * 10 + (in_[i] - '0');
      }
      if (eneg) exp = -exp;
    }
    mag = (int_digits > 0 ? static_cast<long long>(int_digits) : -frac_zeros) + exp;
    if (mag > 0) return std::unexpected(error_here(Cat::Data, "number out of range"));
    d = negative ? -0.0 : 0.0;
  }
  num.d = d;
  return num;
}

// --- values -----------------------------------------------------------------------

Error Reader::invalid_type_next(std::string_view expected) {
  int c = peek();
  std::string found;
  switch (c) {
    case 'n': {
      ++pos_;
      if (auto r = ident("ull"); !r) return std::move(r.error());
      found = "null";
      break;
    }
    case 't':
    case 'f': {
      ++pos_;
      if (auto r = ident(c == 't' ? "rue" : "alse"); !r) return std::move(r.error());
      found = found_bool(c == 't');
      break;
    }
    case '"': {
      ++pos_;
      std::string s;
      if (auto r = scan_string(&s, true); !r) return std::move(r.error());
      found = found_string(s);
      break;
    }
    case '[':
      found = "sequence";
      break;
    case '{':
      found = "map";
      break;
    default:
      if (c == '-' || is_digit(c)) {
        auto n = parse_number();
        if (!n) return std::move(n.error());
        switch (n->kind) {
          case Number::Kind::U64: found = found_unsigned(n->u); break;
          case Number::Kind::I64: found = found_signed(n->i); break;
          case Number::Kind::F64: found = found_float(n->d); break;
        }
        break;
      }
      return error_next(Cat::Syntax, "expected value");
  }
  return error_here(Cat::Data, invalid_type(found, expected));
}

Result<Number> Reader::read_number(std::string_view expected) {
  skip_ws();
  int c = peek();
  if (c < 0) return std::unexpected(error_next(Cat::Eof, "EOF while parsing a value"));
  if (c == '-' || is_digit(c)) return parse_number();
  return std::unexpected(invalid_type_next(expected));
}

Result<bool> Reader::read_bool() {
  skip_ws();
  int c = peek();
  if (c < 0) return std::unexpected(error_next(Cat::Eof, "EOF while parsing a value"));
  if (c == 't' || c == 'f') {
    ++pos_;
    if (auto r = ident(c == 't' ? "rue" : "alse"); !r) return std::unexpected(std::move(r.error()));
    return c == 't';
  }
  return std::unexpected(invalid_type_next("a boolean"));
}

Result<void> Reader::read_string(std::string& out) {
  skip_ws();
  int c = peek();
  if (c < 0) {
    out.clear();
    return std::unexpected(error_next(Cat::Eof, "EOF while parsing a value"));
  }
  if (c == '"') {
    ++pos_;
    // Most strings (names, hex digests) have nothing to decode: copy them
    // in one piece.
    const auto* s = reinterpret_cast<const unsigned char*>(in_.data());
    size_t end = plain_run(s, pos_, in_.size());
    if (end < in_.size() && s[end] == '"') {
      out.assign(in_.data() + pos_, end - pos_);
      pos_ = end + 1;
      return {};
    }
    out.clear();
    return scan_string(&out, true);
  }
  out.clear();
  return std::unexpected(invalid_type_next("a string"));
}

Result<std::string> Reader::read_string() {
  std::string s;
  if (auto r = read_string(s); !r) return std::unexpected(std::move(r.error()));
  return s;
}

Result<bool> Reader::read_null() {
  skip_ws();
  if (peek() != 'n') return false;
  ++pos_;
  if (auto r = ident("ull"); !r) return std::unexpected(std::move(r.error()));
  return true;
}

Result<bool> Reader::next_element_slow(bool& first) {
  skip_ws();
  int c = peek();
  if (c == ']') return false;
  if (c == ',' && !first) {
    ++pos_;
    skip_ws();
    c = peek();
  } else if (c >= 0) {
    if (!first) return std::unexpected(error_next(Cat::Syntax, "expected `,` or `]`"));
    first = false;
  } else {
    return std::unexpected(error_next(Cat::Eof, "EOF while parsing a list"));
  }
  if (c == ']') return std::unexpected(error_next(Cat::Syntax, "trailing comma"));
  if (c < 0) return std::unexpected(error_next(Cat::Eof, "EOF while parsing a value"));
  return true;
}

Result<void> Reader::end_sequence() {
  skip_ws();
  int c = peek();
  if (c == ']') {
    ++pos_;
    leave();
    return {};
  }
  if (c == ',') {
    ++pos_;
    skip_ws();
    if (peek() == ']') return std::unexpected(error_next(Cat::Syntax, "trailing comma"));
    return std::unexpected(error_next(Cat::Syntax, "trailing characters"));
  }
  if (c < 0) return std::unexpected(error_next(Cat::Eof, "EOF while parsing a list"));
  return std::unexpected(error_next(Cat::Syntax, "trailing characters"));
}

Result<void> Reader::begin_sequence(std::string_view expected) {
  skip_ws();
  int c = peek();
  if (c < 0) return std::unexpected(error_next(Cat::Eof, "EOF while parsing a value"));
  if (c != '[') return std::unexpected(invalid_type_next(expected));
  if (auto r = enter(); !r) return r;
  ++pos_;
  return {};
}

Result<bool> Reader::next_key_slow(bool& first) {
  skip_ws();
  int c = peek();
  if (c == '}') return false;
  if (c == ',' && !first) {
    ++pos_;
    skip_ws();
    c = peek();
  } else if (c >= 0) {
    if (!first) return std::unexpected(error_next(Cat::Syntax, "expected `,` or `}`"));
    first = false;
  } else {
    return std::unexpected(error_next(Cat::Eof, "EOF while parsing an object"));
  }
  if (c == '"') return true;
  if (c == '}') return std::unexpected(error_next(Cat::Syntax, "trailing comma"));
  if (c < 0) return std::unexpected(error_next(Cat::Eof, "EOF while parsing a value"));
  return std::unexpected(error_next(Cat::Syntax, "key must be a string"));
}

Result<void> Reader::colon_slow() {
  skip_ws();
  int c = peek();
  if (c == ':') {
    ++pos_;
    return {};
  }
  if (c < 0) return std::unexpected(error_next(Cat::Eof, "EOF while parsing an object"));
  return std::unexpected(error_next(Cat::Syntax, "expected `:`"));
}

Result<void> Reader::end_object() {
  skip_ws();
  int c = peek();
  if (c == '}') {
    ++pos_;
    leave();
    return {};
  }
  if (c == ',') return std::unexpected(error_next(Cat::Syntax, "trailing comma"));
  if (c < 0) return std::unexpected(error_next(Cat::Eof, "EOF while parsing an object"));
  return std::unexpected(error_next(Cat::Syntax, "trailing characters"));
}

// A string with nothing to decode or a plain integer right at the cursor,
// the bulk of a container's members, read without the general dispatch;
// false (cursor unmoved) for anything else, which parse_any then takes.
bool Reader::parse_plain_scalar(Value& out) {
  if (pos_ == in_.size()) return false;
  const char c = in_[pos_];
  if (c == '"') {
    const size_t end = plain_run(reinterpret_cast<const unsigned char*>(in_.data()), pos_ + 1, in_.size());
    if (end == in_.size() || in_[end] != '"') return false;
    out = Value(in_.substr(pos_ + 1, end - pos_ - 1));
    pos_ = end + 1;
    return true;
  }
  if (c != '-' && !is_digit(static_cast<unsigned char>(c))) return false;
  uint64_t magnitude = 0;
  bool negative = false;
  const size_t end = plain_integer(magnitude, negative);
  if (end == 0) return false;
  if (!negative) {
    out = Value(magnitude);
  } else if (magnitude <= (uint64_t{1} << 63)) {
    out = Value(static_cast<int64_t>(0 - magnitude));
  } else {
    return false;
  }
  pos_ = end;
  return true;
}

Result<void> Reader::parse_any(Value& out) {
  skip_ws();
  int c = peek();
  switch (c) {
    case -1:
      return std::unexpected(error_next(Cat::Eof, "EOF while parsing a value"));
    case 'n':
      ++pos_;
      if (auto r = ident("ull"); !r) return r;
      out = Value();
      return {};
    case 't':
    case 'f':
      ++pos_;
      if (auto r = ident(c == 't' ? "rue" : "alse"); !r) return r;
      out = Value(c == 't');
      return {};
    // Containers and strings are filled in place; on an error the partly
    // filled value is dropped with the rest of the document.
    case '"': {
      ++pos_;
      const size_t end = plain_run(reinterpret_cast<const unsigned char*>(in_.data()), pos_, in_.size());
      if (end < in_.size() && in_[end] == '"') {
        out = Value(in_.substr(pos_, end - pos_));
        pos_ = end + 1;
        return {};
      }
      out = Value(std::string());
      return scan_string(&out.as_string(), true);
    }
    case '[': {
      if (auto r = enter(); !r) return r;
      ++pos_;
      out = Value(Array());
      Array& items = out.as_array();
      bool first = true;
      for (;;) {
        auto more = next_element(first);
        if (!more) return std::unexpected(std::move(more.error()));
        if (!*more) break;
        if (items.empty()) items.reserve(4);
        Value& item = items.emplace_back();
        if (parse_plain_scalar(item)) continue;
        if (auto r = parse_any(item); !r) return r;
      }
      return end_sequence();
    }
    case '{': {
      if (auto r = enter(); !r) return r;
      ++pos_;
      out = Value(Object());
      Object& obj = out.as_object();
      // One bit per key length, first and last byte seen so far: a key
      // whose bit is clear cannot be a repeat and needs no search.
      uint64_t signatures = 0;
      bool first = true;
      for (;;) {
        auto more = next_key(first);
        if (!more) return std::unexpected(std::move(more.error()));
        if (!*more) break;
        ++pos_;
        auto key = scan_key();
        if (!key) return std::unexpected(std::move(key.error()));
        if (obj.empty()) obj.reserve(4);
        // A repeated key keeps its first place and takes the last value.
        const std::string_view k = *key;
        const uint64_t signature =
            uint64_t{1} << ((k.size() * 7 + (k.empty() ? 0 : static_cast<unsigned char>(k.front()) * 3 +
                                                            static_cast<unsigned char>(k.back()))) & 63);
        Value& slot = (signatures & signature) ? obj.entry_view(k) : obj.append_new(k);
        signatures |= signature;
        if (auto r = colon(); !r) return r;
        if (parse_plain_scalar(slot)) continue;
        if (auto r = parse_any(slot); !r) return r;
      }
      return end_object();
    }
    default:
      if (c == '-' || is_digit(c)) {
        auto n = parse_number();
        if (!n) return std::unexpected(std::move(n.error()));
        switch (n->kind) {
          case Number::Kind::U64: out = Value(n->u); break;
          case Number::Kind::I64: out = Value(n->i); break;
          case Number::Kind::F64: out = Value(n->d); break;
        }
        return {};
      }
      return std::unexpected(error_next(Cat::Syntax, "expected value"));
  }
}

Result<void> Reader::read_value(Value& out) { return parse_any(out); }

Result<Value> Reader::read_value() {
  Value v;
  if (auto r = parse_any(v); !r) return std::unexpected(std::move(r.error()));
  return v;
}

// Skips a string with nothing to check in it or a plain integer right at
// the cursor, the bulk of a record's members; false (cursor unmoved) for
// anything else, which skip_any then takes.
bool Reader::skip_plain_scalar() {
  if (pos_ == in_.size()) return false;
  const char c = in_[pos_];
  if (c == '"') {
    const size_t end = plain_run(reinterpret_cast<const unsigned char*>(in_.data()), pos_ + 1, in_.size());
    if (end == in_.size() || in_[end] != '"') return false;
    pos_ = end + 1;
    return true;
  }
  if (c != '-' && !is_digit(static_cast<unsigned char>(c))) return false;
  // Raw text needs an integer's extent, not its value: a word at a time,
  // for as many digits as there are.
  const char* const begin = in_.data();
  const char* const end = begin + in_.size();
  const char* p = begin + pos_ + (c == '-');
  if (end - p < 16) return false;
  uint64_t w = load_word(p);
  unsigned k = leading_digits(w);
  if (k == 0 || ((w & 0xFF) == '0' && k > 1)) return false;
  while (k == 8) {
    p += 8;
    if (end - p < 16) return false;
    w = load_word(p);
    k = leading_digits(w);
  }
  const unsigned next = static_cast<unsigned>(w >> (8 * k)) & 0xFF;
  if (next == '.' || (next | 0x20) == 'e') return false;
  pos_ = static_cast<size_t>(p + k - begin);
  return true;
}

Result<void> Reader::skip_any() {
  skip_ws();
  int c = peek();
  switch (c) {
    case -1:
      return std::unexpected(error_next(Cat::Eof, "EOF while parsing a value"));
    case 'n':
      ++pos_;
      return ident("ull");
    case 't':
      ++pos_;
      return ident("rue");
    case 'f':
      ++pos_;
      return ident("alse");
    case '"':
      ++pos_;
      return skip_string();
    case '[': {
      if (auto r = enter(); !r) return r;
      ++pos_;
      bool first = true;
      for (;;) {
        auto more = next_element(first);
        if (!more) return std::unexpected(std::move(more.error()));
        if (!*more) break;
        if (skip_plain_scalar()) continue;
        if (auto r = skip_any(); !r) return r;
      }
      return end_sequence();
    }
    case '{': {
      if (auto r = enter(); !r) return r;
      ++pos_;
      bool first = true;
      for (;;) {
        auto more = next_key(first);
        if (!more) return std::unexpected(std::move(more.error()));
        if (!*more) break;
        ++pos_;
        if (auto r = skip_string(); !r) return r;
        if (auto r = colon(); !r) return r;
        if (skip_plain_scalar()) continue;
        if (auto r = skip_any(); !r) return r;
      }
      return end_object();
    }
    default:
      if (c == '-' || is_digit(c)) {
        uint64_t magnitude = 0;
        bool negative = false;
        if (size_t end = plain_integer(magnitude, negative); end != 0) {
          pos_ = end;
          return {};
        }
        bool float_form = false;
        bool overflow = false;
        uint64_t v = 0;
        return scan_number(float_form, v, overflow);
      }
      return std::unexpected(error_next(Cat::Syntax, "expected value"));
  }
}

Result<std::string_view> Reader::read_raw() {
  skip_ws();
  size_t start = pos_;
  if (auto r = skip_any(); !r) return std::unexpected(std::move(r.error()));
  return in_.substr(start, pos_ - start);
}

Result<size_t> Reader::read_variant(const std::string_view* names, size_t count) {
  auto identifier = [&]() -> Result<size_t> {
    skip_ws();
    int c = peek();
    if (c < 0) return std::unexpected(error_next(Cat::Eof, "EOF while parsing a value"));
    if (c != '"') return std::unexpected(invalid_type_next("variant identifier"));
    ++pos_;
    auto name = scan_key();
    if (!name) return std::unexpected(std::move(name.error()));
    for (size_t i = 0; i < count; ++i) {
      if (names[i] == *name) return i;
    }
    return std::unexpected(error_here(Cat::Data, unknown_variant(*name, names, count)));
  };
  skip_ws();
  int c = peek();
  if (c == '"') return identifier();
  if (c < 0) return std::unexpected(error_next(Cat::Eof, "EOF while parsing a value"));
  if (c != '{') return std::unexpected(error_next(Cat::Syntax, "expected value"));
  // {"Variant": null}
  if (auto r = enter(); !r) return std::unexpected(std::move(r.error()));
  ++pos_;
  auto which = identifier();
  if (!which) return which;
  if (auto r = colon(); !r) return std::unexpected(std::move(r.error()));
  skip_ws();
  c = peek();
  if (c < 0) return std::unexpected(error_next(Cat::Eof, "EOF while parsing a value"));
  if (c != 'n') return std::unexpected(invalid_type_next("unit"));
  ++pos_;
  if (auto r = ident("ull"); !r) return std::unexpected(std::move(r.error()));
  skip_ws();
  c = peek();
  if (c == '}') {
    ++pos_;
    leave();
    return which;
  }
  if (c < 0) return std::unexpected(error_here(Cat::Eof, "EOF while parsing an object"));
  return std::unexpected(error_here(Cat::Syntax, "expected value"));
}

Result<void> Reader::finish() {
  skip_ws();
  if (pos_ < in_.size()) return std::unexpected(error_next(Cat::Syntax, "trailing characters"));
  return {};
}

// --- records ----------------------------------------------------------------------

Error Reader::record_error(bool object_form, std::string description) {
  skip_ws();
  if (object_form) {
    if (peek() == '}') ++pos_;
  } else if (peek() == ']') {
    ++pos_;
  } else if (peek() == ',') {
    ++pos_;
    skip_ws();
  }
  return error_here(Cat::Data, std::move(description));
}

Result<void> Reader::read_record(const RecordSpec& spec, void* record) {
  skip_ws();
  int c = peek();
  if (c < 0) return std::unexpected(error_next(Cat::Eof, "EOF while parsing a value"));
  if (c == '{' || c == '[') {
    if (auto r = enter(); !r) return r;
    ++pos_;
    return c == '{' ? read_record_object(spec, record) : read_record_array(spec, record);
  }
  return std::unexpected(invalid_type_next(struct_name(spec)));
}

Result<void> Reader::read_record_object(const RecordSpec& spec, void* record) {
  const auto fields = spec.fields;
  uint64_t seen = 0;  // records have at most 64 fields
  size_t next = 0;
  bool first = true;
  char* base = static_cast<char*>(record);
  for (;;) {
    auto more = next_key(first);
    if (!more) return std::unexpected(std::move(more.error()));
    if (!*more) break;
    ++pos_;
    // Keys usually come in declaration order: when the text holds the next
    // field's name and a closing quote, that is the key (field names have
    // nothing to escape), with no scan and no search.
    size_t i = fields.size();
    std::string_view key;
    if (next < fields.size()) {
      const std::string_view name = fields[next].name;
      if (in_.size() - pos_ > name.size() && in_[pos_ + name.size()] == '"' &&
          same_bytes(in_.data() + pos_, name.data(), name.size())) {
        i = next;
        key = name;
        pos_ += name.size() + 1;
      }
    }
    if (i == fields.size()) {
      auto scanned = scan_key();
      if (!scanned) return std::unexpected(std::move(scanned.error()));
      key = *scanned;
      i = 0;
      while (i < fields.size() && fields[i].name != key) ++i;
    }
    next = i + 1;
    if (i == fields.size()) {
      std::vector<std::string_view> names;
      for (const FieldSpec& f : fields) names.push_back(f.name);
      std::string d = unknown_field(key, names.data(), names.size());
      return std::unexpected(record_error(true, std::move(d)));
    }
    if (seen & (uint64_t{1} << i)) {
      return std::unexpected(record_error(true, duplicate_field(fields[i].name)));
    }
    seen |= uint64_t{1} << i;
    if (auto r = colon(); !r) return r;
    if (auto r = fields[i].read(*this, base + fields[i].offset); !r) return std::unexpected(positioned(std::move(r.error())));
  }
  const uint64_t all = fields.size() == 64 ? ~uint64_t{0} : (uint64_t{1} << fields.size()) - 1;
  for (size_t i = 0; seen != all && i < fields.size(); ++i) {
    if (!(seen & (uint64_t{1} << i)) && !(fields[i].flags & kOptional)) {
      return std::unexpected(record_error(true, missing_field(fields[i].name)));
    }
  }
  return end_object();
}

Result<void> Reader::read_record_array(const RecordSpec& spec, void* record) {
  const auto fields = spec.fields;
  bool first = true;
  char* base = static_cast<char*>(record);
  for (size_t i = 0; i < fields.size(); ++i) {
    auto more = next_element(first);
    if (!more) return std::unexpected(std::move(more.error()));
    if (!*more) {
      if (fields[i].flags & kArrayTailDefault) continue;
      std::string expected = str_cat("struct ", spec.name, " with ", fields.size(), " elements");
      return std::unexpected(record_error(false, invalid_length(i, expected)));
    }
    if (auto r = fields[i].read(*this, base + fields[i].offset); !r) return std::unexpected(positioned(std::move(r.error())));
  }
  return end_sequence();
}

void write_record(Writer& w, const RecordSpec& spec, const void* record) {
  const char* base = static_cast<const char*>(record);
  w.begin_object();
  for (const FieldSpec& f : spec.fields) {
    const void* member = base + f.offset;
    if ((f.flags & kOmitWhenAbsent) && f.absent && f.absent(member)) continue;
    w.key(f.name);
    f.write(w, member);
  }
  w.end_object();
}

Result<Value> parse_value(std::string_view text) {
  Reader r(text);
  Result<Value> v(std::in_place);
  if (auto st = r.read_value(*v); !st) {
    v = std::unexpected(std::move(st.error()));
  } else if (auto fin = r.finish(); !fin) {
    v = std::unexpected(std::move(fin.error()));
  }
  return v;
}

}  // namespace morvatel::json
