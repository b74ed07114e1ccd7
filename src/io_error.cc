#include "io_error.h"

#include <errno.h>
#include <string.h>

#include "text.h"
#include "utf8_valid.h"

namespace morvatel {

namespace {

IoErrorKind kind_of_errno(int errnum) {
  switch (errnum) {
    case ENOENT:
      return IoErrorKind::NotFound;
    case EACCES:
    case EPERM:
      return IoErrorKind::PermissionDenied;
    case EEXIST:
      return IoErrorKind::AlreadyExists;
    case EINTR:
      return IoErrorKind::Interrupted;
    case EAGAIN:
      return IoErrorKind::WouldBlock;
    case EINVAL:
      return IoErrorKind::InvalidInput;
    default:
      return IoErrorKind::Other;
  }
}

}  // namespace

std::string os_error_description(int errnum) {
  char buf[256];
  // The GNU strerror_r may return a static string instead of filling buf.
#if defined(__GLIBC__) && defined(_GNU_SOURCE)
  const char* text = strerror_r(errnum, buf, sizeof buf);
  return std::string(text);
#else
  if (strerror_r(errnum, buf, sizeof buf) != 0) return str_cat("Unknown error ", errnum);
  return std::string(buf);
#endif
}

IoError IoError::os(int errnum) {
  return IoError(kind_of_errno(errnum), errnum,
                 str_cat(os_error_description(errnum), " (os error ", errnum, ")"));
}

IoError IoError::last_os() { return os(errno); }

IoError IoError::custom(IoErrorKind kind, std::string text) {
  return IoError(kind, 0, std::move(text));
}

IoError&& IoError::at_path(std::string_view path) && {
  str_append(text_, " at path ", quote_path(path));
  return std::move(*this);
}

IoError IoError::at_path(std::string_view path) const& {
  IoError copy = *this;
  return std::move(copy).at_path(path);
}

std::string quote_path(std::string_view path) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out = "\"";
  size_t i = 0;
  while (i < path.size()) {
    size_t len = utf8_sequence_length(path.substr(i));
    if (len == 0) {
      unsigned char b = static_cast<unsigned char>(path[i]);
      out += "\\x";
      out += kHex[b >> 4];
      out += kHex[b & 0xF];
      ++i;
      continue;
    }
    if (len == 1) {
      char c = path[i];
      switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        case '\0': out += "\\0"; break;
        default:
          if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
            unsigned char b = static_cast<unsigned char>(c);
            out += "\\u{";
            if (b >= 0x10) out += kHex[b >> 4];
            out += kHex[b & 0xF];
            out += "}";
          } else {
            out += c;
          }
      }
    } else {
      out.append(path.substr(i, len));
    }
    i += len;
  }
  out += "\"";
  return out;
}

}  // namespace morvatel
