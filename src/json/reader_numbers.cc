#include "json/reader.h"

#include <charconv>

#include "json/scan.h"

namespace morvatel::json {

using namespace scan;

namespace {

constexpr double kPow10Double[] = {1e0, 1e1, 1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                   1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15};

constexpr uint64_t kPow10[] = {1, 10, 100, 1000, 10000, 100000, 1000000, 10000000, 100000000};

}  // namespace

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
    if (int_digits > 0 && int_digits < 16 && (*p != '0' || int_digits == 1) && q < end &&
        *q == '.') {
      const char* const fraction = ++q;
      for (;
           q < end && is_digit(static_cast<unsigned char>(*q)) && (q - fraction) + int_digits < 15;
           ++q) {
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
  if (auto r = scan_number(float_form, v, overflow); !r)
    return std::unexpected(std::move(r.error()));
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

Result<Number> Reader::read_number(std::string_view expected) {
  skip_ws();
  int c = peek();
  if (c < 0) return std::unexpected(error_next(Cat::Eof, "EOF while parsing a value"));
  if (c == '-' || is_digit(c)) return parse_number();
  return std::unexpected(invalid_type_next(expected));
}

}  // namespace morvatel::json
