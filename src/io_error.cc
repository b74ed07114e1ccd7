#include "io_error.h"

#include <errno.h>
#include <string.h>

#include "debug_text.h"
#include "text.h"

namespace morvatel {

namespace {

IoErrorKind kind_of_errno(int errnum) {
  switch (errnum) {
    case ENOENT: return IoErrorKind::NotFound;
    case EACCES:
    case EPERM: return IoErrorKind::PermissionDenied;
    case EEXIST: return IoErrorKind::AlreadyExists;
    case EINTR: return IoErrorKind::Interrupted;
    case EAGAIN: return IoErrorKind::WouldBlock;
    case EINVAL: return IoErrorKind::InvalidInput;
    default: return IoErrorKind::Other;
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

std::string quote_path(std::string_view path) { return escape_text(path, kPathText); }

}  // namespace morvatel
