#ifndef MORVATEL_WAL_LINE_READER_H_
#define MORVATEL_WAL_LINE_READER_H_

// Reading a log file line by line, each line bounded, through a small
// buffer: memory stays bounded by one line whatever the file's size.

#include <cstddef>
#include <cstdint>
#include <expected>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "fs.h"
#include "io_error.h"
#include "wal/error.h"
#include "wal/format.h"

namespace morvatel::wal {

// A buffered reader over a file descriptor it does not own.
class BufferedReader {
 public:
  explicit BufferedReader(int fd, size_t capacity = kReadBufferBytes) : fd_(fd), buf_(capacity) {}

  // Bytes buffered but not yet taken, after filling the buffer if it is
  // empty; an empty view at the end of the file.
  std::expected<std::string_view, IoError> fill();
  void consume(size_t n) { pos_ += n; }

 private:
  int fd_;
  std::vector<char> buf_;
  size_t pos_ = 0;
  size_t end_ = 0;
};

// Reads one line into `buffer` (cleared first): bytes up to and including
// the first line feed, never more than kMaxLineBytes + 1 in all. Returns the
// number of bytes taken, 0 at the end of the file; the last line may lack
// its line feed. A line longer than kMaxLineBytes fails with "WAL entry
// exceeds 16777216 bytes: found 16777217" (InvalidData).
std::expected<size_t, IoError> read_bounded_line(BufferedReader& reader, std::string& buffer);

// The same line as read_bounded_line takes, as a view: into the reader's
// buffer when the line lies whole in it, else into `spill`. Valid until the
// next read. Empty at the end of the file.
std::expected<std::string_view, IoError> read_line_view(BufferedReader& reader, std::string& spill);

// Space, tab, line feed, form feed or carriage return only (not vertical
// tab): such lines count for nothing.
bool is_blank_line(std::string_view line);

// Opens a log for reading only (never creating it), refusing anything but
// a regular file; `size`, when given, receives the size of the file opened,
// so that a limit on it judges the very file that is then read.
std::expected<UniqueFd, WalError> open_log_for_reading(std::string_view path,
                                                       uint64_t* size = nullptr);

// Reads the open file line by line with the bounded reader and calls
// on_line for every line that is not blank; the first error (a read
// failure as WalError::Io, or on_line's) ends the reading.
std::expected<void, WalError> for_each_line(
    int fd, const std::function<std::expected<void, WalError>(std::string_view line)>& on_line);

}  // namespace morvatel::wal

#endif  // MORVATEL_WAL_LINE_READER_H_
