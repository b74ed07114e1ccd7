#ifndef MORVATEL_DEBUG_TEXT_H_
#define MORVATEL_DEBUG_TEXT_H_

// The quoted debug form of a string that representations and reader errors
// print: the text in double quotes with backslash escapes, so a name holding
// a quote or a line break cannot end the quoted text early or split the line.

#include <string>
#include <string_view>

namespace morvatel {

// `"` + text + `"`: \0 \t \r \n \\ \" escaped with a backslash; the other
// control characters (U+0001-U+001F, U+007F and U+0080-U+009F) as \u{hex}
// in lowercase with no leading zeros; everything else as it is.
std::string debug_quoted(std::string_view utf8);

}  // namespace morvatel

#endif  // MORVATEL_DEBUG_TEXT_H_
