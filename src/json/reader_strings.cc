#include "json/reader.h"

#include <string>

#include "json/scan.h"
#include "utf8_valid.h"

namespace morvatel::json {

using namespace scan;

namespace {

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

}  // namespace

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
        default: return std::unexpected(error_here(Cat::Syntax, "invalid escape"));
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
    return std::unexpected(error_here(
        Cat::Syntax, "control character (\\u0000-\\u001F) found while parsing a string"));
  }
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

}  // namespace morvatel::json
