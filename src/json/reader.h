#ifndef MORVATEL_JSON_READER_H_
#define MORVATEL_JSON_READER_H_

// The strict one-pass JSON reader. A Reader is a cursor over one text; each
// read_* call takes exactly one value (after optional whitespace) and leaves
// the cursor behind it, so record readers walk a document in one pass and
// report the first fault in document order with its position (the rule is
// in json/error.h).
//
// Strictness: only space, tab, line feed and carriage return are
// whitespace; strings must be valid UTF-8 with valid escapes and paired
// surrogates; integers are read exactly into their field's width (never
// through a double); containers nest at most 127 deep, the 128th level
// fails with "recursion limit exceeded", so hostile input cannot exhaust the
// stack. Records (json/record.h) are read from their object form (keys in
// any order, unknown, repeated or missing keys refused) or their array form.

#include <cstdint>
#include <limits>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>

#include "json/error.h"
#include "json/value.h"

namespace morvatel::json {

struct RecordSpec;

inline constexpr int kMaxDepth = 128;

// A number as the text gave it: an unsigned integer when non-negative and
// within 64 bits, a signed one when negative and within 64 bits, otherwise
// (fraction, exponent, out of range, "-0") a double.
struct Number {
  enum class Kind : uint8_t { U64, I64, F64 } kind = Kind::U64;
  uint64_t u = 0;
  int64_t i = 0;
  double d = 0;
};

template <typename T>
constexpr std::string_view integer_name() {
  if constexpr (std::is_same_v<T, uint64_t>) return "u64";
  else if constexpr (std::is_same_v<T, uint32_t>) return "u32";
  else if constexpr (std::is_same_v<T, uint16_t>) return "u16";
  else if constexpr (std::is_same_v<T, uint8_t>) return "u8";
  else if constexpr (std::is_same_v<T, int64_t>) return "i64";
  else if constexpr (std::is_same_v<T, int32_t>) return "i32";
  else if constexpr (std::is_same_v<T, int16_t>) return "i16";
  else if constexpr (std::is_same_v<T, int8_t>) return "i8";
}

class Reader {
 public:
  explicit Reader(std::string_view text) : in_(text) {}
  explicit Reader(std::span<const uint8_t> bytes)
      : in_(reinterpret_cast<const char*>(bytes.data()), bytes.size()) {}

  // --- values --------------------------------------------------------------

  // An integer of T's width; anything else is an "invalid type" or
  // "invalid value" error naming T as the messages spell it ("u64" for
  // uint64_t, "i64" for int64_t, "u16" for uint16_t, ...).
  template <typename T>
    requires std::is_integral_v<T> && (!std::is_same_v<T, bool>)
  Result<T> read_integer();

  Result<bool> read_bool();
  Result<std::string> read_string();
  Result<void> read_string(std::string& out);  // replaces out's content
  // Consumes a `null` and returns true, or returns false and consumes
  // nothing but whitespace (the reading of optional values).
  Result<bool> read_null();
  // Any value, numbers held as Number says.
  Result<Value> read_value();
  Result<void> read_value(Value& out);  // fills `out` in place
  // The exact text of the next value as it stands in the input, without
  // the whitespace around it. Checked like any other value except that
  // numbers are checked for their syntax only and \u escapes for their four
  // hex digits only: what they mean is decided when the text is read again.
  Result<std::string_view> read_raw();
  // An enumerator by name: a string equal to one of `names`, or an object with one
  // such key whose value is null. Returns the index into `names`.
  Result<size_t> read_variant(const std::string_view* names, size_t count);
  // A record in object or array form; see json/record.h.
  Result<void> read_record(const RecordSpec& spec, void* record);

  // After the document's value: only whitespace may follow.
  Result<void> finish();

  // --- building blocks for sequence readers ---------------------------------
  // begin_sequence: '[' (else "invalid type: ..., expected {expected}");
  // next_element: true when an element follows (the cursor is before it),
  // false at ']'; end_sequence: takes the ']'.
  Result<void> begin_sequence(std::string_view expected);
  Result<bool> next_element(bool& first) {
    // The compact forms: an element right after '[' or ','.
    if (in_.size() - pos_ >= 2) {
      char c = in_[pos_ + !first];
      if (!is_ws(c) && c != ']' && (first || in_[pos_] == ',')) {
        pos_ += !first;
        first = false;
        return true;
      }
    }
    return next_element_slow(first);
  }
  Result<void> end_sequence();

  // Reads `[e, e, ...]` calling element(*this) for each element.
  template <typename F>
  Result<void> read_sequence(std::string_view expected, F&& element) {
    if (auto r = begin_sequence(expected); !r) return r;
    bool first = true;
    for (;;) {
      auto more = next_element(first);
      if (!more) return std::unexpected(std::move(more.error()));
      if (!*more) break;
      if (auto r = element(*this); !r) return r;
    }
    return end_sequence();
  }

  // --- position ---------------------------------------------------------------
  size_t offset() const { return pos_; }
  std::string_view text() const { return in_; }
  // An error at the last consumed byte / at the next byte (json/error.h).
  Error error_here(Error::Category c, std::string description) const;
  Error error_next(Error::Category c, std::string description) const;

 private:
  // Tests hold the quick paths to the general ones through this.
  friend struct ReaderProbe;

  int peek() const { return pos_ < in_.size() ? static_cast<unsigned char>(in_[pos_]) : -1; }
  static bool is_ws(char c) { return c == ' ' || c == '\n' || c == '\t' || c == '\r'; }
  void skip_ws() {
    while (pos_ < in_.size() && is_ws(in_[pos_])) ++pos_;
  }
  Result<bool> next_element_slow(bool& first);
  Result<void> enter();  // depth check before taking '[' or '{'
  void leave() { --depth_; }
  Result<void> ident(const char* rest);
  Result<void> scan_string(std::string* out, bool check_surrogates);
  Result<void> unicode_escape(std::string* out, bool check_surrogates);
  Result<uint32_t> hex4();
  // Syntax of a number starting at the cursor; `float_form` tells whether
  // it has a fraction or exponent.
  Result<void> scan_number(bool& float_form, uint64_t& value, bool& overflow);
  Result<std::string_view> scan_key();
  Result<Number> parse_number();
  // A plain integer at the cursor: optional '-', no leading zeros, at most
  // 20 digits, a value within 64 bits (the magnitude; "-0" is not one), and
  // no fraction or exponent after it. Returns the offset just past it, or 0
  // (and leaves the cursor) when the text there is anything else.
  size_t plain_integer(uint64_t& magnitude, bool& negative) const;
  template <typename T>
    requires std::is_integral_v<T> && (!std::is_same_v<T, bool>)
  [[gnu::noinline]] Result<T> read_integer_slow();
  // The "invalid type" error for whatever value comes next; consumes it.
  Error invalid_type_next(std::string_view expected);
  Error positioned(Error e) const;  // gives an error without one the current position
  Result<Number> read_number(std::string_view expected);
  Result<void> parse_any(Value& out);
  bool parse_plain_scalar(Value& out);
  // The general way over a value for read_raw. It runs only where the
  // quick skip (json/skip.h) refused the value, in practice faulty text,
  // so it has no quick paths of its own.
  Result<void> skip_any();
  // The compact forms (a key's quote right after '{' or ',', the colon
  // right after the key) are taken here; everything else, errors included,
  // by the _slow halves.
  Result<bool> next_key(bool& first) {
    if (in_.size() - pos_ >= 2 && in_[pos_ + !first] == '"' && (first || in_[pos_] == ',')) {
      pos_ += !first;
      first = false;
      return true;
    }
    return next_key_slow(first);
  }
  Result<bool> next_key_slow(bool& first);
  Result<void> colon() {
    if (pos_ < in_.size() && in_[pos_] == ':') {
      ++pos_;
      return {};
    }
    return colon_slow();
  }
  Result<void> colon_slow();
  Result<void> end_object();
  // Record-level errors are known only after the reader has looked past the
  // key or bracket; they are placed as if the record's closing bracket had
  // been taken when it is next.
  Error record_error(bool object_form, std::string description);
  Result<void> read_record_object(const RecordSpec& spec, void* record);
  Result<void> read_record_array(const RecordSpec& spec, void* record);

  std::string_view in_;
  size_t pos_ = 0;
  int depth_ = 0;
  std::string key_;  // scratch for object keys
};

template <typename T>
  requires std::is_integral_v<T> && (!std::is_same_v<T, bool>)
Result<T> Reader::read_integer() {
  // Nearly every integer in a log is plain and fits its field: take those
  // without going through Number. Anything else (a fraction, "-0", too many
  // digits, out of range, not a number at all) is read again below, which
  // is where every error comes from.
  skip_ws();
  uint64_t magnitude = 0;
  bool negative = false;
  if (size_t end = plain_integer(magnitude, negative); end != 0) {
    if (!negative) {
      if (magnitude <= static_cast<uint64_t>(std::numeric_limits<T>::max())) {
        pos_ = end;
        return static_cast<T>(magnitude);
      }
    } else if constexpr (std::is_signed_v<T>) {
      // |min| of a two's complement type is max + 1.
      if (magnitude <= static_cast<uint64_t>(std::numeric_limits<T>::max()) + 1) {
        pos_ = end;
        return static_cast<T>(static_cast<int64_t>(0 - magnitude));
      }
    }
  }
  return read_integer_slow<T>();
}

template <typename T>
  requires std::is_integral_v<T> && (!std::is_same_v<T, bool>)
Result<T> Reader::read_integer_slow() {
  constexpr std::string_view name = integer_name<T>();
  auto n = read_number(name);
  if (!n) return std::unexpected(std::move(n.error()));
  switch (n->kind) {
    case Number::Kind::U64:
      if (n->u <= static_cast<uint64_t>(std::numeric_limits<T>::max())) return static_cast<T>(n->u);
      return std::unexpected(
          error_here(Error::Category::Data, invalid_value(found_unsigned(n->u), name)));
    case Number::Kind::I64:
      if constexpr (std::is_signed_v<T>) {
        if (n->i >= static_cast<int64_t>(std::numeric_limits<T>::min()))
          return static_cast<T>(n->i);
      }
      return std::unexpected(
          error_here(Error::Category::Data, invalid_value(found_signed(n->i), name)));
    case Number::Kind::F64: break;
  }
  return std::unexpected(error_here(Error::Category::Data, invalid_type(found_float(n->d), name)));
}

}  // namespace morvatel::json

#endif  // MORVATEL_JSON_READER_H_
