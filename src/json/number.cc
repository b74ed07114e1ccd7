#include "json/number.h"

#include <charconv>
#include <cmath>

namespace morvatel::json {

void append_double(std::string& out, double v) {
  if (!std::isfinite(v)) {
    out.append("null");
    return;
  }
  if (std::signbit(v)) {
    out.push_back('-');
    v = -v;
  }
  if (v == 0) {
    out.append("0.0");
    return;
  }
  // to_chars without a precision gives the shortest round-trip digits;
  // only the layout is ours.
  char sci[32];
  auto res = std::to_chars(sci, sci + sizeof sci, v, std::chars_format::scientific);
  char digits[20];
  int len = 0;
  const char* p = sci;
  for (; p < res.ptr && *p != 'e'; ++p) {
    if (*p != '.') digits[len++] = *p;
  }
  int exp10 = 0;
  std::from_chars(p + 1 + (p[1] == '+'), res.ptr, exp10);
  const int kk = exp10 + 1;  // 10^(kk-1) <= v < 10^kk
  const int k = kk - len;    // v = digits * 10^k
  if (k >= 0 && kk <= 16) {
    out.append(digits, len);
    out.append(static_cast<size_t>(k), '0');
    out.append(".0");
  } else if (kk > 0 && kk <= 16) {
    out.append(digits, kk);
    out.push_back('.');
    out.append(digits + kk, len - kk);
  } else if (kk > -5 && kk <= 0) {
    out.append("0.");
    out.append(static_cast<size_t>(-kk), '0');
    out.append(digits, len);
  } else {
    out.push_back(digits[0]);
    if (len > 1) {
      out.push_back('.');
      out.append(digits + 1, len - 1);
    }
    out.push_back('e');
    char e[8];
    auto r = std::to_chars(e, e + sizeof e, kk - 1);
    out.append(e, r.ptr);
  }
}

}  // namespace morvatel::json
