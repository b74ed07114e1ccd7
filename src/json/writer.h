#ifndef MORVATEL_JSON_WRITER_H_
#define MORVATEL_JSON_WRITER_H_

// Streaming JSON writers. Two layouts: compact (no whitespace at all) and
// the two-space-indented one of the persistence files (one member or element
// per line, ": " after keys, empty containers as "{}" and "[]", nothing after
// the last closing bracket).
//
// Strings are escaped as every JSON form of the system writes them: `"` and
// `\` with a backslash; U+0008, U+0009, U+000A, U+000C, U+000D as \b \t \n
// \f \r; the other characters below U+0020 as \u00XX with lowercase hex;
// everything else, non-ASCII included, as its UTF-8 bytes.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "json/error.h"
#include "json/value.h"

namespace morvatel::json {

// Where a writer's bytes go. A sink may refuse a write (a full disk, a byte
// limit); the writer then stops and reports that error unchanged.
class Sink {
 public:
  virtual ~Sink() = default;
  virtual Result<void> write(std::string_view bytes) = 0;
};

// A sink that appends to a string and never fails.
class StringSink final : public Sink {
 public:
  explicit StringSink(std::string& out) : out_(out) {}
  Result<void> write(std::string_view bytes) override {
    out_.append(bytes);
    return {};
  }

 private:
  std::string& out_;
};

enum class Layout : uint8_t { Compact, Indented };

// Builds one JSON document token by token. Output is buffered and handed to
// the sink in chunks; the first sink failure is kept and everything after it
// is dropped, so callers write freely and check finish() once. The caller
// keeps the calls well nested (a key before each member value, matching
// begin/end); the writer does not check it.
class Writer {
 public:
  explicit Writer(Sink& sink, Layout layout = Layout::Compact);
  Writer(const Writer&) = delete;
  Writer& operator=(const Writer&) = delete;

  void begin_object();
  void end_object();
  void begin_array();
  void end_array();
  void key(std::string_view name);

  void null();
  void boolean(bool b);
  void u64(uint64_t v);
  void i64(int64_t v);
  void f64(double v);
  void string(std::string_view utf8);
  // A value that is already JSON text (a raw nested value), copied as it is.
  void raw(std::string_view json_text);
  void value(const Value& v);

  // Flushes the buffer; returns the first sink error, if any.
  Result<void> finish();

 private:
  void before_value();
  void newline_indent(size_t depth);
  void flush_if_full();

  Sink& sink_;
  Layout layout_;
  std::string buf_;
  // One entry per open container: whether it has a member yet.
  std::vector<bool> open_;
  bool after_key_ = false;
  bool failed_ = false;
  Error error_;
};

// Appends the escaped string, with its quotes, to `out`.
void append_string(std::string& out, std::string_view utf8);

// Whole-value helpers.
Result<void> write_value(Sink& sink, const Value& v, Layout layout = Layout::Compact);
std::string to_compact(const Value& v);
std::string to_indented(const Value& v);

}  // namespace morvatel::json

#endif  // MORVATEL_JSON_WRITER_H_
