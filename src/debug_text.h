#ifndef MORVATEL_DEBUG_TEXT_H_
#define MORVATEL_DEBUG_TEXT_H_

// The quoted debug form of a string that representations and reader errors
// print: the text in double quotes with backslash escapes, so a name holding
// a quote, a line break or an invisible character cannot disguise what a
// record says.

#include <cstdint>
#include <string>
#include <string_view>

namespace morvatel {

// `"` + text + `"`: \0 \t \r \n \\ \" escaped with a backslash; every other
// control, format, separator, private-use, unassigned, surrogate or
// combining (grapheme-extending) character as \u{hex} in lowercase with no
// leading zeros; everything else, the space included, as it is. Bytes that
// are not well-formed UTF-8 are written as \x{hex} each (the callers pass
// text that came from Python strings, so this does not arise from Python).
std::string debug_quoted(std::string_view utf8);

// True when debug_quoted writes the code point as \u{hex}; ASCII excluded
// (its rules are the fixed ones above).
bool debug_escapes_code_point(uint32_t cp);

// The one walk behind every form of text in messages; the forms differ in
// what they escape.
struct TextEscaping {
  enum class BadByte : uint8_t {
    Replacement,  // U+FFFD
    Hex,          // \xff, two digits
    BracedHex,    // \x{ff}
  };
  // In double quotes, with ASCII escaped as debug_quoted does.
  bool quoted;
  // Non-ASCII code points that debug_escapes_code_point names as \u{hex}.
  bool invisible_escaped;
  // A byte that does not start a well-formed UTF-8 sequence.
  BadByte bad_byte;
};

// debug_quoted's form.
inline constexpr TextEscaping kDebugText{true, true, TextEscaping::BadByte::BracedHex};
// File paths in messages: as debug_quoted, but every well-formed non-ASCII
// character as it is and other bytes as \xff.
inline constexpr TextEscaping kPathText{true, false, TextEscaping::BadByte::Hex};
// Bytes shown as text: no quotes, nothing escaped, each byte that is not
// well-formed UTF-8 replaced by U+FFFD.
inline constexpr TextEscaping kLossyText{false, false, TextEscaping::BadByte::Replacement};

std::string escape_text(std::string_view bytes, const TextEscaping& how);

}  // namespace morvatel

#endif  // MORVATEL_DEBUG_TEXT_H_
