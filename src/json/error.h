#ifndef MORVATEL_JSON_ERROR_H_
#define MORVATEL_JSON_ERROR_H_

// The error of every JSON reader and writer: a description and, for errors
// found while reading text, the line and column where the reader stopped.
//
// Position rule (the one place it is written down): lines and columns count
// from 1; the column counts bytes since the last line feed. An error about a
// token the reader has consumed (a bad value, a number out of range, an
// unknown key, a string that is not UTF-8) is reported at the token's last
// byte; an error about the next byte the reader looked at but did not take
// (an unexpected character, trailing characters, a depth overflow) is
// reported at that byte. At the end of the text "the next byte" is the end:
// the column is then the length of the last line. Record-level errors that
// are only known once a record's closing bracket is reached (missing field,
// too few elements) are reported at that bracket.

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

namespace morvatel::json {

struct Error {
  enum class Category : uint8_t {
    Syntax,  // the text is not JSON
    Data,    // JSON, but not the value the reader wanted
    Eof,     // the text ended early
    Io,      // a sink refused a write
  };

  Category category = Category::Data;
  std::string description;
  uint64_t line = 0;  // 0: no position (errors met while writing)
  uint64_t column = 0;

  // A write failure of a sink; carries the sink's text as it is.
  static Error io(std::string text) { return Error{Category::Io, std::move(text), 0, 0}; }

  // "{description} at line {line} column {column}", or the description alone
  // when there is no position.
  std::string message() const;
};

template <typename T>
using Result = std::expected<T, Error>;

// Descriptions shared by every reader. `expected` texts follow the forms the
// messages quote: "u64" (for uint64_t), "a string", "struct KernelInput", ...
std::string missing_field(std::string_view name);
std::string duplicate_field(std::string_view name);
// The second part lists the accepted names: one alone, two joined by "or",
// more as "one of `a`, `b`, ...".
std::string unknown_field(std::string_view name, const std::string_view* names, size_t count);
std::string unknown_variant(std::string_view name, const std::string_view* names, size_t count);
std::string invalid_length(uint64_t found, std::string_view expected);
std::string invalid_type(std::string_view found, std::string_view expected);
std::string invalid_value(std::string_view found, std::string_view expected);

// "What was found" forms for the two messages above.
std::string found_unsigned(uint64_t v);            // integer `5`
std::string found_signed(int64_t v);               // integer `-5`
std::string found_float(double v);                 // floating point `1.5`
std::string found_string(std::string_view utf8);  // string "abc" (debug-escaped)
std::string found_bool(bool v);                    // boolean `true`
// null, an object and an array are found as the plain texts "null", "map"
// and "sequence".

}  // namespace morvatel::json

#endif  // MORVATEL_JSON_ERROR_H_
