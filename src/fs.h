#ifndef MORVATEL_FS_H_
#define MORVATEL_FS_H_

// File-system calls as the whole system makes them:
// - every descriptor is opened close-on-exec, so a child process never
//   inherits one (and with it keeps a lock alive after we release ours);
// - a path holding a NUL byte is refused rather than cut short at the NUL;
// - calls interrupted by a signal are repeated where that is safe.
// Paths are byte strings, as the operating system takes them.

#include <sys/stat.h>
#include <sys/types.h>
#include <sys/uio.h>

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

#include "blocking.h"
#include "io_error.h"

namespace morvatel {

// An owned file descriptor, closed on destruction.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& o) noexcept : fd_(o.release()) {}
  UniqueFd& operator=(UniqueFd&& o) noexcept;
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd();

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }
  // Closes now and reports the result of close().
  std::expected<void, IoError> close();

 private:
  int fd_ = -1;
};

// The error for a path with a NUL byte in it (kind InvalidInput):
// "file name contained an unexpected NUL byte".
IoError nul_in_path_error();

// A path as the C library takes it; fails for a path with a NUL byte.
std::expected<std::string, IoError> c_path(std::string_view path);

// open(2) with O_CLOEXEC added to `flags`, repeated while interrupted as
// long as `hook` (if any) agrees.
std::expected<UniqueFd, IoError> open_path(std::string_view path, int flags, mode_t mode = 0666,
                                           BlockingHook* hook = nullptr);

// "not a regular file at path \"...\"" (kind InvalidInput).
IoError not_regular_file_error(std::string_view path);

// Opens a file that the caller reads or appends to as a regular file, and
// refuses anything else but a directory (whose reads fail on their own, as
// they always have). The open itself never waits: a FIFO would otherwise
// block it until a writer appears, and a device would take or give bytes
// that no file keeps. Once the file is known to be regular, its descriptor
// is made blocking again. `st`, when given, receives the status of the
// descriptor that was opened, not of whatever the path names afterwards.
std::expected<UniqueFd, IoError> open_regular(std::string_view path, int flags, mode_t mode = 0666,
                                              struct stat* st = nullptr);

// Opens a lock file for reading and writing, creating it if need be, as
// open_path does with `hook`. Never through a link: a planted one would have
// us create or lock a file wherever it points. Nor does the open wait,
// whatever is found at the path; the descriptor is only ever locked, so it
// is left non-blocking.
std::expected<UniqueFd, IoError> open_lock_file(std::string_view path,
                                                BlockingHook* hook = nullptr);

// A duplicate of `fd` that is itself close-on-exec.
std::expected<UniqueFd, IoError> dup_cloexec(int fd);

// Whole-file advisory locks (flock). The blocking form waits for other
// holders, repeating the call after a signal as long as `hook` (if any)
// agrees; the non-blocking form fails with kind WouldBlock when held.
std::expected<void, IoError> lock_exclusive(int fd, BlockingHook* hook = nullptr);
std::expected<void, IoError> try_lock_exclusive(int fd);

// Flushes file data and metadata to stable storage (F_FULLFSYNC where the
// system offers it, else fsync), repeated while interrupted.
std::expected<void, IoError> full_sync(int fd);

// Writes `count` buffers one after another with gathering write calls
// (writev): a file opened for appending receives each call's bytes as one
// write. Short and interrupted writes go on with the bytes not yet taken; a
// write that takes nothing fails with "failed to write whole buffer"
// (WriteZero). `*written` grows by every byte accepted, also when a later
// call fails. The buffers' entries are advanced as bytes are taken.
std::expected<void, IoError> write_buffers(int fd, iovec* buffers, size_t count,
                                           uint64_t* written = nullptr);

// The pieces written in order, as one gathering write where the system
// takes them whole.
template <size_t N>
std::expected<void, IoError> write_all_pieces(int fd, const std::string_view (&pieces)[N],
                                              uint64_t* written = nullptr) {
  iovec buffers[N];
  size_t count = 0;
  for (std::string_view p : pieces) {
    if (!p.empty()) buffers[count++] = iovec{const_cast<char*>(p.data()), p.size()};
  }
  return write_buffers(fd, buffers, count, written);
}

// All of `len` bytes.
inline std::expected<void, IoError> write_fully(int fd, const void* data, size_t len,
                                                uint64_t* written = nullptr) {
  const std::string_view piece[] = {{static_cast<const char*>(data), len}};
  return write_all_pieces(fd, piece, written);
}

// The directory that holds `path`: its parent, or "." when it has none or an
// empty one ("a/b" gives "a", "b" gives ".", "/b" gives "/").
std::string parent_directory(std::string_view path);

// The final component of `path` when it is a plain name ("a/b/" gives "b");
// nothing when the path ends in "..", is a root, or is empty.
std::optional<std::string_view> final_name(std::string_view path);

// `dir` and `name` joined with one separator.
std::string join_path(std::string_view dir, std::string_view name);

// Flushes the directory that holds `path` to stable storage, so that a
// rename or creation inside it survives a crash.
std::expected<void, IoError> sync_parent_directory(std::string_view path);

}  // namespace morvatel

#endif  // MORVATEL_FS_H_
