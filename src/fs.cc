#include "fs.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/uio.h>
#include <unistd.h>

#include <utility>

namespace morvatel {

UniqueFd& UniqueFd::operator=(UniqueFd&& o) noexcept {
  if (this != &o) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = o.release();
  }
  return *this;
}

UniqueFd::~UniqueFd() {
  // Errors of a close nobody waits for have no one to report to; data that
  // matters was flushed and checked before.
  if (fd_ >= 0) ::close(fd_);
}

std::expected<void, IoError> UniqueFd::close() {
  int fd = release();
  if (fd < 0) return {};
  // Linux releases the descriptor even when close reports EINTR, so the
  // call is never repeated.
  if (::close(fd) != 0 && errno != EINTR) return std::unexpected(IoError::last_os());
  return {};
}

IoError nul_in_path_error() {
  return IoError::custom(IoErrorKind::InvalidInput, "file name contained an unexpected NUL byte");
}

std::expected<std::string, IoError> c_path(std::string_view path) {
  // A C string ends at its first NUL: passing such a path on would silently
  // open a different, shorter path.
  if (path.find('\0') != std::string_view::npos) return std::unexpected(nul_in_path_error());
  return std::string(path);
}

std::expected<UniqueFd, IoError> open_path(std::string_view path, int flags, mode_t mode,
                                           BlockingHook* hook) {
  auto p = c_path(path);
  if (!p) return std::unexpected(p.error());
  for (;;) {
    int fd = ::open(p->c_str(), flags | O_CLOEXEC, mode);
    if (fd >= 0) return UniqueFd(fd);
    int err = errno;
    if (err != EINTR) return std::unexpected(IoError::os(err));
    if (hook != nullptr && !hook->retry_after_interrupt()) {
      return std::unexpected(IoError::os(err));
    }
  }
}

IoError not_regular_file_error(std::string_view path) {
  return IoError::custom(IoErrorKind::InvalidInput, "not a regular file").at_path(path);
}

std::expected<UniqueFd, IoError> open_regular(std::string_view path, int flags, mode_t mode,
                                              struct stat* st) {
  auto fd = open_path(path, flags | O_NONBLOCK, mode);
  if (!fd) return fd;
  struct stat own;
  struct stat* status = st != nullptr ? st : &own;
  if (::fstat(fd->get(), status) != 0) return std::unexpected(IoError::last_os());
  if (!S_ISREG(status->st_mode) && !S_ISDIR(status->st_mode)) {
    return std::unexpected(not_regular_file_error(path));
  }
  int fl = ::fcntl(fd->get(), F_GETFL);
  if (fl < 0 || ::fcntl(fd->get(), F_SETFL, fl & ~O_NONBLOCK) != 0) {
    return std::unexpected(IoError::last_os());
  }
  return fd;
}

std::expected<UniqueFd, IoError> open_lock_file(std::string_view path, BlockingHook* hook) {
  return open_path(path, O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK, 0666, hook);
}

std::expected<UniqueFd, IoError> dup_cloexec(int fd) {
  int copy = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
  if (copy < 0) return std::unexpected(IoError::last_os());
  return UniqueFd(copy);
}

std::expected<void, IoError> lock_exclusive(int fd, BlockingHook* hook) {
  for (;;) {
    if (hook != nullptr) hook->enter();
    int rc = ::flock(fd, LOCK_EX);
    int err = errno;
    if (hook != nullptr) hook->leave();
    if (rc == 0) return {};
    if (err != EINTR) return std::unexpected(IoError::os(err));
    // A signal handler installed without SA_RESTART (as interpreters install
    // theirs) interrupts the wait; the embedder decides whether to go on.
    if (hook != nullptr && !hook->retry_after_interrupt()) {
      return std::unexpected(IoError::os(err));
    }
  }
}

std::expected<void, IoError> try_lock_exclusive(int fd) {
  for (;;) {
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return {};
    if (errno != EINTR) return std::unexpected(IoError::last_os());
  }
}

std::expected<void, IoError> full_sync(int fd) {
  for (;;) {
#if defined(F_FULLFSYNC)
    // fsync on this system leaves data in the drive's cache.
    int rc = ::fcntl(fd, F_FULLFSYNC);
#else
    int rc = ::fsync(fd);
#endif
    if (rc == 0) return {};
    if (errno != EINTR) return std::unexpected(IoError::last_os());
  }
}

std::expected<void, IoError> write_buffers(int fd, iovec* buffers, size_t count,
                                           uint64_t* written) {
  while (count != 0) {
    ssize_t n = ::writev(fd, buffers, static_cast<int>(count));
    if (n < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(IoError::last_os());
    }
    if (n == 0) {
      return std::unexpected(
          IoError::custom(IoErrorKind::WriteZero, "failed to write whole buffer"));
    }
    if (written != nullptr) *written += static_cast<uint64_t>(n);
    auto taken = static_cast<size_t>(n);
    while (count != 0 && taken >= buffers->iov_len) {
      taken -= buffers->iov_len;
      ++buffers;
      --count;
    }
    if (count != 0) {
      buffers->iov_base = static_cast<char*>(buffers->iov_base) + taken;
      buffers->iov_len -= taken;
    }
  }
  return {};
}

namespace {

// Drops trailing separators and trailing "." components, which name no
// component of their own ("a/b/." and "a/b/" both end in "b"); a root stays.
std::string_view trim_tail(std::string_view s) {
  for (;;) {
    while (s.size() > 1 && s.back() == '/') s.remove_suffix(1);
    if (s.size() >= 2 && s.ends_with("/.")) {
      s.remove_suffix(1);
      continue;
    }
    return s;
  }
}

}  // namespace

std::string parent_directory(std::string_view path) {
  std::string_view t = trim_tail(path);
  if (t.empty() || t == "/") return ".";
  size_t pos = t.rfind('/');
  if (pos == std::string_view::npos) return ".";
  if (pos == 0) return "/";
  std::string_view parent = trim_tail(t.substr(0, pos));
  if (parent.empty()) return ".";
  return std::string(parent);
}

std::optional<std::string_view> final_name(std::string_view path) {
  std::string_view t = trim_tail(path);
  if (t.empty() || t == "/" || t == ".") return std::nullopt;
  size_t pos = t.rfind('/');
  std::string_view name = pos == std::string_view::npos ? t : t.substr(pos + 1);
  if (name.empty() || name == "..") return std::nullopt;
  return name;
}

std::string join_path(std::string_view dir, std::string_view name) {
  std::string out(dir);
  if (!out.empty() && out.back() != '/') out.push_back('/');
  out.append(name);
  return out;
}

std::expected<void, IoError> sync_parent_directory(std::string_view path) {
  // O_DIRECTORY: a FIFO planted where the directory was must not block.
  auto dir = open_path(parent_directory(path), O_RDONLY | O_DIRECTORY);
  if (!dir) return std::unexpected(dir.error());
  return full_sync(dir->get());  // the descriptor closes in every case
}

}  // namespace morvatel
