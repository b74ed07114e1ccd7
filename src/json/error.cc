#include "json/error.h"

#include "json/number.h"
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

std::string found_float(double v) {
  std::string out = "floating point `";
  append_double(out, v);
  out.push_back('`');
  return out;
}

std::string found_bool(bool v) { return v ? "boolean `true`" : "boolean `false`"; }

// The string in double quotes with the escapes of a debug form: the usual
// backslash escapes, \0, and \u{..} for the other control characters (C0,
// DEL and C1); everything else as it is.
std::string found_string(std::string_view s) {
  std::string out = "string \"";
  static const char kHex[] = "0123456789abcdef";
  auto code_escape = [&](uint32_t cp) {
    out.append("\\u{");
    char buf[8];
    int n = 0;
    do {
      buf[n++] = kHex[cp & 0xF];
      cp >>= 4;
    } while (cp != 0);
    while (n > 0) out.push_back(buf[--n]);
    out.push_back('}');
  };
  for (size_t i = 0; i < s.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    switch (c) {
      case '\0': out.append("\\0"); continue;
      case '\t': out.append("\\t"); continue;
      case '\n': out.append("\\n"); continue;
      case '\r': out.append("\\r"); continue;
      case '"': out.append("\\\""); continue;
      case '\\': out.append("\\\\"); continue;
      default: break;
    }
    if (c < 0x20 || c == 0x7F) {
      code_escape(c);
    } else if (c == 0xC2 && i + 1 < s.size() &&
               static_cast<unsigned char>(s[i + 1]) >= 0x80 &&
               static_cast<unsigned char>(s[i + 1]) <= 0x9F) {
      code_escape(static_cast<unsigned char>(s[i + 1]));
      ++i;
    } else {
      out.push_back(static_cast<char>(c));
    }
  }
  out.push_back('"');
  return out;
}

}  // namespace morvatel::json
