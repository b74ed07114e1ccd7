#include "debug_text.h"

#include <cstdint>

namespace morvatel {

namespace {

void append_code_escape(std::string& out, uint32_t cp) {
  static constexpr char kDigits[] = "0123456789abcdef";
  out.append("\\u{");
  char buf[8];
  int n = 0;
  do {
    buf[n++] = kDigits[cp & 0xF];
    cp >>= 4;
  } while (cp != 0);
  while (n > 0) out.push_back(buf[--n]);
  out.push_back('}');
}

}  // namespace

std::string debug_quoted(std::string_view s) {
  std::string out;
  out.reserve(s.size() + 2);
  out.push_back('"');
  for (size_t i = 0; i < s.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    switch (c) {
      case '\0': out.append("\\0"); continue;
      case '\t': out.append("\\t"); continue;
      case '\r': out.append("\\r"); continue;
      case '\n': out.append("\\n"); continue;
      case '\\': out.append("\\\\"); continue;
      case '"': out.append("\\\""); continue;
      default: break;
    }
    if (c < 0x20 || c == 0x7F) {
      append_code_escape(out, c);
    } else if (c == 0xC2 && i + 1 < s.size() && static_cast<unsigned char>(s[i + 1]) >= 0x80 &&
               static_cast<unsigned char>(s[i + 1]) <= 0x9F) {
      // U+0080-U+009F, the C1 controls, are 0xC2 followed by the low byte.
      append_code_escape(out, static_cast<unsigned char>(s[i + 1]));
      ++i;
    } else {
      out.push_back(static_cast<char>(c));
    }
  }
  out.push_back('"');
  return out;
}

}  // namespace morvatel
