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

}  // namespace morvatel

#endif  // MORVATEL_DEBUG_TEXT_H_
