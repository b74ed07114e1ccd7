#ifndef MORVATEL_TEXT_H_
#define MORVATEL_TEXT_H_

// Message building without <format>, which the oldest supported compiler
// (g++ 12) lacks. Integers are written in decimal, text as it is.

#include <charconv>
#include <concepts>
#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>

namespace morvatel {

namespace text_detail {

inline void append(std::string& out, std::string_view s) { out.append(s); }
inline void append(std::string& out, const char* s) { out.append(s); }
inline void append(std::string& out, const std::string& s) { out.append(s); }
inline void append(std::string& out, char c) { out.push_back(c); }

template <std::integral T>
  requires(!std::same_as<T, char> && !std::same_as<T, bool>)
void append(std::string& out, T value) {
  char buf[24];
  auto res = std::to_chars(buf, buf + sizeof buf, value);
  out.append(buf, res.ptr);
}

// 128-bit integers have no std::to_chars in libstdc++ 12.
void append(std::string& out, unsigned __int128 value);
void append(std::string& out, __int128 value);

}  // namespace text_detail

// Concatenates its arguments into one string.
template <typename... Args>
std::string str_cat(const Args&... args) {
  std::string out;
  (text_detail::append(out, args), ...);
  return out;
}

// Appends to an existing string.
template <typename... Args>
void str_append(std::string& out, const Args&... args) {
  (text_detail::append(out, args), ...);
}

// Lowercase hexadecimal text of a byte string.
std::string hex_lower(const unsigned char* data, size_t len);

// The same written into out[0 .. 2 * len), for callers that compare or
// build hex text without allocating.
void hex_into(const unsigned char* data, size_t len, char* out);

// True for exactly 64 characters of 0-9 and a-f: a digest's hex text.
bool is_lower_hex64(std::string_view text);

// `value` in lowercase hexadecimal, zero-padded to at least `min_digits`
// digits (at most 16) and otherwise without leading zeros.
void append_hex(std::string& out, uint64_t value, size_t min_digits = 1);

}  // namespace morvatel

#endif  // MORVATEL_TEXT_H_
