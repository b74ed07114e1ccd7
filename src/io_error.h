#ifndef MORVATEL_IO_ERROR_H_
#define MORVATEL_IO_ERROR_H_

// The I/O error value shared by every module that touches files. An error
// reported by the operating system has the message "{description} (os error
// {errno})"; an error the system makes itself has its own text as message.
// Context such as " at path \"...\"" may be appended to either.

#include <string>
#include <string_view>

namespace morvatel {

enum class IoErrorKind {
  Other,
  NotFound,
  PermissionDenied,
  AlreadyExists,
  Interrupted,
  WouldBlock,
  InvalidInput,
  InvalidData,
  WriteZero,
};

class IoError {
 public:
  // From an errno value; the kind follows from the number.
  static IoError os(int errnum);
  // From the current errno.
  static IoError last_os();
  // An error of the system's own, whose message is `text`.
  static IoError custom(IoErrorKind kind, std::string text);

  IoErrorKind kind() const { return kind_; }
  // The errno of an operating-system error, 0 for the system's own errors.
  int os_error() const { return errnum_; }
  const std::string& message() const { return text_; }

  // Appends " at path " and the path quoted (see quote_path).
  IoError&& at_path(std::string_view path) &&;
  IoError at_path(std::string_view path) const&;

 private:
  IoError(IoErrorKind kind, int errnum, std::string text)
      : kind_(kind), errnum_(errnum), text_(std::move(text)) {}

  IoErrorKind kind_;
  int errnum_;
  std::string text_;
};

// The operating system's description of an error number, without the
// number: "No such file or directory".
std::string os_error_description(int errnum);

// A path in double quotes for messages. Quotes, backslashes and control
// characters are escaped; bytes that are not valid UTF-8 are written as \xNN,
// so the text is always valid UTF-8 whatever the path's bytes.
std::string quote_path(std::string_view path);

}  // namespace morvatel

#endif  // MORVATEL_IO_ERROR_H_
