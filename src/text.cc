#include "text.h"

#include <algorithm>

namespace morvatel {

namespace text_detail {

void append(std::string& out, unsigned __int128 value) {
  char buf[40];
  char* end = buf + sizeof buf;
  char* p = end;
  do {
    *--p = static_cast<char>('0' + static_cast<int>(value % 10));
    value /= 10;
  } while (value != 0);
  out.append(p, end);
}

void append(std::string& out, __int128 value) {
  if (value < 0) {
    out.push_back('-');
    // Negate in the unsigned domain so the minimum value does not overflow.
    append(out, static_cast<unsigned __int128>(0) - static_cast<unsigned __int128>(value));
  } else {
    append(out, static_cast<unsigned __int128>(value));
  }
}

}  // namespace text_detail

std::string hex_lower(const unsigned char* data, size_t len) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out(len * 2, '\0');
  for (size_t i = 0; i < len; ++i) {
    out[2 * i] = kDigits[data[i] >> 4];
    out[2 * i + 1] = kDigits[data[i] & 0x0f];
  }
  return out;
}

}  // namespace morvatel
