#include "json/writer.h"

#include <charconv>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "json/number.h"
#include "text.h"

namespace morvatel::json {

namespace {

constexpr size_t kFlushAt = 8192;

// 0: copy as is; otherwise the letter after the backslash ('u' for \u00XX).
constexpr auto kEscape = [] {
  struct Table {
    char e[256] = {};
  } t;
  for (int c = 0; c < 0x20; ++c) t.e[c] = 'u';
  t.e[static_cast<unsigned char>('\b')] = 'b';
  t.e[static_cast<unsigned char>('\t')] = 't';
  t.e[static_cast<unsigned char>('\n')] = 'n';
  t.e[static_cast<unsigned char>('\f')] = 'f';
  t.e[static_cast<unsigned char>('\r')] = 'r';
  t.e[static_cast<unsigned char>('"')] = '"';
  t.e[static_cast<unsigned char>('\\')] = '\\';
  return t;
}();

// Index of the first byte at or after `pos` that is written escaped: a
// quote, a backslash or a control character. Sixteen bytes at a time where
// SSE2 exists; most strings (names, digests) have none.
size_t unescaped_run(const unsigned char* s, size_t pos, size_t n) {
#if defined(__SSE2__)
  const __m128i quote = _mm_set1_epi8('"');
  const __m128i backslash = _mm_set1_epi8('\\');
  const __m128i last_control = _mm_set1_epi8(0x1F);
  while (n - pos >= 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + pos));
    // Unsigned: min(v, 0x1F) == v exactly for the bytes 0x00..0x1F.
    const __m128i control = _mm_cmpeq_epi8(_mm_min_epu8(v, last_control), v);
    const __m128i stop =
        _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, quote), _mm_cmpeq_epi8(v, backslash)), control);
    const int mask = _mm_movemask_epi8(stop);
    if (mask != 0) return pos + static_cast<size_t>(__builtin_ctz(static_cast<unsigned>(mask)));
    pos += 16;
  }
#endif
  while (pos < n && kEscape.e[s[pos]] == 0) ++pos;
  return pos;
}

}  // namespace

void append_string(std::string& out, std::string_view s) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(s.data());
  out.push_back('"');
  size_t start = 0;
  for (;;) {
    const size_t i = unescaped_run(bytes, start, s.size());
    out.append(s.data() + start, i - start);
    if (i == s.size()) break;
    const char e = kEscape.e[bytes[i]];
    out.push_back('\\');
    out.push_back(e);
    if (e == 'u') append_hex(out, bytes[i], 4);
    start = i + 1;
  }
  out.push_back('"');
}

Writer::Writer(Sink& sink, Layout layout) : sink_(sink), layout_(layout) {
  buf_.reserve(kFlushAt + 256);
}

void Writer::flush_if_full() {
  if (buf_.size() >= kFlushAt) {
    if (!failed_) {
      auto r = sink_.write(buf_);
      if (!r) {
        failed_ = true;
        error_ = std::move(r.error());
      }
    }
    buf_.clear();
  }
}

void Writer::newline_indent(size_t depth) {
  buf_.push_back('\n');
  buf_.append(depth * 2, ' ');
}

void Writer::before_value() {
  if (after_key_) {
    after_key_ = false;
    return;
  }
  if (open_.empty()) return;
  if (open_.back()) buf_.push_back(',');
  open_.back() = true;
  if (layout_ == Layout::Indented) newline_indent(open_.size());
}

void Writer::key(std::string_view name) {
  if (open_.back()) buf_.push_back(',');
  open_.back() = true;
  if (layout_ == Layout::Indented) newline_indent(open_.size());
  append_string(buf_, name);
  if (layout_ == Layout::Indented) {
    buf_.append(": ");
  } else {
    buf_.push_back(':');
  }
  after_key_ = true;
}

void Writer::begin_object() {
  before_value();
  buf_.push_back('{');
  open_.push_back(false);
}

void Writer::begin_array() {
  before_value();
  buf_.push_back('[');
  open_.push_back(false);
}

void Writer::end_object() {
  bool had = open_.back();
  open_.pop_back();
  if (had && layout_ == Layout::Indented) newline_indent(open_.size());
  buf_.push_back('}');
  flush_if_full();
}

void Writer::end_array() {
  bool had = open_.back();
  open_.pop_back();
  if (had && layout_ == Layout::Indented) newline_indent(open_.size());
  buf_.push_back(']');
  flush_if_full();
}

void Writer::null() {
  before_value();
  buf_.append("null");
}

void Writer::boolean(bool b) {
  before_value();
  buf_.append(b ? "true" : "false");
}

void Writer::u64(uint64_t v) {
  before_value();
  char tmp[24];
  auto r = std::to_chars(tmp, tmp + sizeof tmp, v);
  buf_.append(tmp, r.ptr);
  flush_if_full();
}

void Writer::i64(int64_t v) {
  before_value();
  char tmp[24];
  auto r = std::to_chars(tmp, tmp + sizeof tmp, v);
  buf_.append(tmp, r.ptr);
  flush_if_full();
}

void Writer::f64(double v) {
  before_value();
  append_double(buf_, v);
  flush_if_full();
}

void Writer::string(std::string_view s) {
  before_value();
  append_string(buf_, s);
  flush_if_full();
}

void Writer::raw(std::string_view text) {
  before_value();
  buf_.append(text);
  flush_if_full();
}

void Writer::value(const Value& v) {
  switch (v.kind()) {
    case Value::Kind::Null: null(); break;
    case Value::Kind::Bool: boolean(v.as_bool()); break;
    case Value::Kind::U64: u64(v.as_u64()); break;
    case Value::Kind::I64: i64(v.as_i64()); break;
    case Value::Kind::F64: f64(v.as_f64()); break;
    case Value::Kind::String: string(v.as_string()); break;
    case Value::Kind::Array:
      begin_array();
      for (const Value& e : v.as_array()) value(e);
      end_array();
      break;
    case Value::Kind::Object:
      begin_object();
      for (const Member& m : v.as_object()) {
        key(m.key);
        value(m.value);
      }
      end_object();
      break;
  }
}

Result<void> Writer::finish() {
  if (!failed_ && !buf_.empty()) {
    auto r = sink_.write(buf_);
    if (!r) {
      failed_ = true;
      error_ = std::move(r.error());
    }
  }
  buf_.clear();
  if (failed_) return std::unexpected(error_);
  return {};
}

Result<void> write_value(Sink& sink, const Value& v, Layout layout) {
  Writer w(sink, layout);
  w.value(v);
  return w.finish();
}

std::string to_compact(const Value& v) {
  std::string out;
  StringSink sink(out);
  (void)write_value(sink, v, Layout::Compact);
  return out;
}

std::string to_indented(const Value& v) {
  std::string out;
  StringSink sink(out);
  (void)write_value(sink, v, Layout::Indented);
  return out;
}

}  // namespace morvatel::json
