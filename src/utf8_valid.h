#ifndef MORVATEL_UTF8_VALID_H_
#define MORVATEL_UTF8_VALID_H_

// Validation of UTF-8 as the standard defines it: no overlong forms, no
// surrogates, nothing above U+10FFFF.

#include <cstddef>
#include <string_view>

namespace morvatel {

// Length of the well-formed UTF-8 sequence that starts `s`, or 0 when `s` is
// empty or does not start with one.
size_t utf8_sequence_length(std::string_view s);

// True when all of `s` is well-formed UTF-8.
bool is_valid_utf8(std::string_view s);

}  // namespace morvatel

#endif  // MORVATEL_UTF8_VALID_H_
