#include "wal/line_reader.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "text.h"

namespace morvatel::wal {

std::expected<std::string_view, IoError> BufferedReader::fill() {
  if (pos_ == end_) {
    pos_ = end_ = 0;
    for (;;) {
      ssize_t n = ::read(fd_, buf_.data(), buf_.size());
      if (n < 0) {
        if (errno == EINTR) continue;
        return std::unexpected(IoError::last_os());
      }
      end_ = static_cast<size_t>(n);
      break;
    }
  }
  return std::string_view(buf_.data() + pos_, end_ - pos_);
}

std::expected<size_t, IoError> read_bounded_line(BufferedReader& reader, std::string& buffer) {
  buffer.clear();
  constexpr size_t kCap = kMaxLineBytes + 1;
  while (buffer.size() < kCap) {
    auto avail = reader.fill();
    if (!avail) return std::unexpected(std::move(avail.error()));
    if (avail->empty()) break;
    size_t take = std::min(avail->size(), kCap - buffer.size());
    const void* lf = ::memchr(avail->data(), '\n', take);
    if (lf != nullptr) take = static_cast<size_t>(static_cast<const char*>(lf) - avail->data()) + 1;
    buffer.append(avail->data(), take);
    reader.consume(take);
    if (lf != nullptr) break;
  }
  if (buffer.size() > kMaxLineBytes) {
    return std::unexpected(
        IoError::custom(IoErrorKind::InvalidData, str_cat("WAL entry exceeds ", kMaxLineBytes,
                                                          " bytes: found ", buffer.size())));
  }
  return buffer.size();
}

std::expected<std::string_view, IoError> read_line_view(BufferedReader& reader,
                                                        std::string& spill) {
  auto avail = reader.fill();
  if (!avail) return std::unexpected(std::move(avail.error()));
  // Most lines lie whole in the buffer: hand them out where they are
  // rather than copying each one.
  if (const void* lf = ::memchr(avail->data(), '\n', avail->size())) {
    const size_t take = static_cast<size_t>(static_cast<const char*>(lf) - avail->data()) + 1;
    reader.consume(take);
    return avail->substr(0, take);
  }
  auto n = read_bounded_line(reader, spill);
  if (!n) return std::unexpected(std::move(n.error()));
  return std::string_view(spill);
}

bool is_blank_line(std::string_view line) {
  for (char c : line) {
    if (c != ' ' && c != '\t' && c != '\n' && c != '\f' && c != '\r') return false;
  }
  return true;
}

std::expected<UniqueFd, WalError> open_log_for_reading(std::string_view path, uint64_t* size) {
  struct stat st;
  auto fd = open_regular(path, O_RDONLY, 0, &st);
  if (!fd) return std::unexpected(WalError::io(std::move(fd.error())));
  if (size != nullptr) *size = static_cast<uint64_t>(st.st_size);
  return std::move(*fd);
}

std::expected<void, WalError> for_each_line(
    int fd, const std::function<std::expected<void, WalError>(std::string_view line)>& on_line) {
  BufferedReader reader(fd);
  std::string spill;
  for (;;) {
    auto line = read_line_view(reader, spill);
    if (!line) return std::unexpected(WalError::io(std::move(line.error())));
    if (line->empty()) return {};
    if (is_blank_line(*line)) continue;
    if (auto r = on_line(*line); !r) return r;
  }
}

}  // namespace morvatel::wal
