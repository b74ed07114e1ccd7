#include "text.h"


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

namespace {

constexpr char kHexDigits[] = "0123456789abcdef";

}  // namespace

void hex_into(const unsigned char* data, size_t len, char* out) {
  for (size_t i = 0; i < len; ++i) {
    out[2 * i] = kHexDigits[data[i] >> 4];
    out[2 * i + 1] = kHexDigits[data[i] & 0x0f];
  }
}

bool is_lower_hex64(std::string_view text) {
  if (text.size() != 64) return false;
  // Without a branch per character: digits and letters of a digest come in
  // random order, and a branch on each would be mispredicted half the time.
  bool ok = true;
  for (char c : text) {
    const auto u = static_cast<unsigned char>(c);
    ok &= (static_cast<unsigned char>(u - '0') < 10) | (static_cast<unsigned char>(u - 'a') < 6);
  }
  return ok;
}

std::string hex_lower(const unsigned char* data, size_t len) {
  std::string out(len * 2, '\0');
  hex_into(data, len, out.data());
  return out;
}

void append_hex(std::string& out, uint64_t value, size_t min_digits) {
  char buf[16];
  size_t n = 0;
  do {
    buf[n++] = kHexDigits[value & 0xF];
    value >>= 4;
  } while (value != 0);
  while (n < min_digits && n < sizeof buf) buf[n++] = '0';
  while (n > 0) out.push_back(buf[--n]);
}

}  // namespace morvatel
