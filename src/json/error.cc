#include "json/error.h"

#include <charconv>
#include <cmath>
#include <string>

#include "debug_text.h"
#include "text.h"

namespace morvatel::json {

std::string Error::message() const {
  if (line == 0) return description;
  return str_cat(description, " at line ", line, " column ", column);
}

std::string missing_field(std::string_view name) { return str_cat("missing field `", name, "`"); }

std::string duplicate_field(std::string_view name) {
  return str_cat("duplicate field `", name, "`");
}

namespace {

void append_one_of(std::string& out, const std::string_view* names, size_t count) {
  if (count == 1) {
    str_append(out, "`", names[0], "`");
  } else if (count == 2) {
    str_append(out, "`", names[0], "` or `", names[1], "`");
  } else {
    out.append("one of ");
    for (size_t i = 0; i < count; ++i) {
      if (i > 0) out.append(", ");
      str_append(out, "`", names[i], "`");
    }
  }
}

}  // namespace

std::string unknown_field(std::string_view name, const std::string_view* names, size_t count) {
  if (count == 0) return str_cat("unknown field `", name, "`, there are no fields");
  std::string out = str_cat("unknown field `", name, "`, expected ");
  append_one_of(out, names, count);
  return out;
}

std::string unknown_variant(std::string_view name, const std::string_view* names, size_t count) {
  if (count == 0) return str_cat("unknown variant `", name, "`, there are no variants");
  std::string out = str_cat("unknown variant `", name, "`, expected ");
  append_one_of(out, names, count);
  return out;
}

std::string invalid_length(uint64_t found, std::string_view expected) {
  return str_cat("invalid length ", found, ", expected ", expected);
}

std::string invalid_type(std::string_view found, std::string_view expected) {
  return str_cat("invalid type: ", found, ", expected ", expected);
}

std::string invalid_value(std::string_view found, std::string_view expected) {
  return str_cat("invalid value: ", found, ", expected ", expected);
}

std::string found_unsigned(uint64_t v) { return str_cat("integer `", v, "`"); }
std::string found_signed(int64_t v) { return str_cat("integer `", v, "`"); }

// A float in an error is shown as plain decimal at any magnitude, never with
// an exponent, and with ".0" when it has no fraction: 2^64 read as a float
// shows as 18446744073709552000.0. The digits are the shortest that read
// back to the same value. (The JSON writer's own layout does use exponents.)
std::string found_float(double v) {
  std::string out = "floating point `";
  if (!std::isfinite(v)) {
    out.append(std::isnan(v) ? "NaN" : (v < 0 ? "-inf" : "inf"));
  } else {
    if (std::signbit(v)) out.push_back('-');
    v = std::fabs(v);
    if (v == 0) {
      out.append("0.0");
    } else {
      char sci[32];
      auto res = std::to_chars(sci, sci + sizeof sci, v, std::chars_format::scientific);
      std::string digits;
      const char* p = sci;
      for (; p < res.ptr && *p != 'e'; ++p) {
        if (*p != '.') digits.push_back(*p);
      }
      int exp10 = 0;
      std::from_chars(p + 1 + (p[1] == '+'), res.ptr, exp10);
      const int point = exp10 + 1;  // digits before the decimal point
      const int len = static_cast<int>(digits.size());
      if (point >= len) {
        out.append(digits);
        out.append(static_cast<size_t>(point - len), '0');
        out.append(".0");
      } else if (point > 0) {
        out.append(digits, 0, static_cast<size_t>(point));
        out.push_back('.');
        out.append(digits, static_cast<size_t>(point));
      } else {
        out.append("0.");
        out.append(static_cast<size_t>(-point), '0');
        out.append(digits);
      }
    }
  }
  out.push_back('`');
  return out;
}

std::string found_bool(bool v) { return v ? "boolean `true`" : "boolean `false`"; }

// The string in the debug form that representations also use.
std::string found_string(std::string_view s) { return str_cat("string ", debug_quoted(s)); }

}  // namespace morvatel::json
