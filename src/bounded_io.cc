#include "bounded_io.h"

#include <errno.h>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#if defined(__linux__) || defined(__APPLE__)
#include <sys/random.h>
#endif

#include "fs.h"
#include "text.h"
#include "utf8_valid.h"

namespace morvatel {

std::expected<void, IoError> LimitedWriter::write_all(const void* data, size_t len) {
  if (len == 0) return {};
  uint64_t remaining = written_ >= limit_ ? 0 : limit_ - written_;
  if (len > remaining) {
    exceeded_ = true;
    return std::unexpected(limit_exceeded_error());
  }
  if (fd_ < 0) {
    buffer_.append(static_cast<const char*>(data), len);
    written_ += len;
    return {};
  }
  auto r = write_fully(fd_, data, len, &written_);
  if (!r) {
    // The system's refusals name the file; a write that took nothing is the
    // writer's own verdict on the whole buffer and reads as it is.
    if (r.error().kind() == IoErrorKind::WriteZero) return std::unexpected(std::move(r.error()));
    return std::unexpected(std::move(r.error()).at_path(path_));
  }
  return {};
}

IoError limit_exceeded_error() {
  return IoError::custom(IoErrorKind::InvalidData,
                         "serialized artifact exceeds configured byte limit");
}

IoError artifact_too_large_error() {
  return IoError::custom(IoErrorKind::InvalidData,
                         str_cat("persistence artifact exceeds ", MAX_PERSISTENCE_ARTIFACT_BYTES,
                                 " bytes"));
}

std::expected<std::string, IoError> read_bounded_artifact(std::string_view path) {
  struct stat st;
  auto fd = open_regular(path, O_RDONLY, 0, &st);
  if (!fd) return std::unexpected(fd.error());
  if (static_cast<uint64_t>(st.st_size) > MAX_PERSISTENCE_ARTIFACT_BYTES) {
    return std::unexpected(artifact_too_large_error());
  }
  // One byte past the ceiling tells a file that grew after fstat.
  constexpr size_t kCap = MAX_PERSISTENCE_ARTIFACT_BYTES + 1;
  std::string out;
  out.resize(std::min<size_t>(kCap, static_cast<size_t>(st.st_size) + 1));
  size_t got = 0;
  for (;;) {
    if (got == out.size()) {
      if (out.size() == kCap) break;
      out.resize(std::min<size_t>(kCap, out.size() * 2));
    }
    ssize_t n = ::read(fd->get(), out.data() + got, out.size() - got);
    if (n < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(IoError::last_os());
    }
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  fd->close();  // read-only: nothing to lose on a failed close
  if (got > MAX_PERSISTENCE_ARTIFACT_BYTES) return std::unexpected(artifact_too_large_error());
  out.resize(got);
  return out;
}

namespace {

std::string artifact_name(std::string_view path) {
  auto name = final_name(path);
  if (name && is_valid_utf8(*name)) return std::string(*name);
  return "snapshot";
}

// The characters of a temporary file's random suffix.
constexpr std::string_view kTempSuffixChars =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";

// Six characters of kTempSuffixChars. Falls back to a clock-and-counter mix
// should the system's randomness be unavailable: the names need only be
// unlikely to clash, and a clash is retried.
void random_suffix(char out[6]) {
  unsigned char bytes[6];
  if (::getentropy(bytes, sizeof bytes) != 0) {
    static thread_local uint64_t counter = 0;
    uint64_t x = static_cast<uint64_t>(::getpid()) * 0x9E3779B97F4A7C15ull ^
                 reinterpret_cast<uintptr_t>(&counter) ^ ++counter * 0xBF58476D1CE4E5B9ull;
    for (auto& b : bytes) {
      x ^= x >> 31;
      x *= 0x94D049BB133111EBull;
      b = static_cast<unsigned char>(x >> 56);
    }
  }
  for (int i = 0; i < 6; ++i) out[i] = kTempSuffixChars[bytes[i] % kTempSuffixChars.size()];
}

constexpr int kTempNameAttempts = 128;

// ".{name}.tmp.", which the random suffix completes.
std::string temp_name_prefix(std::string_view path) {
  return str_cat(".", artifact_name(path), ".tmp.");
}

// Removes the temporary files that earlier saves of the same target left
// behind when they were killed between creating them and the rename. Only
// names of the exact form ".{name}.tmp.XXXXXX" go: every save of this target
// makes its temporaries under that name and only while it holds the
// target's lock, which the caller now holds, so none of them is still being
// written. Failures are ignored: a leftover costs space, not correctness.
void remove_stale_temporaries(std::string_view path) {
  auto dir = open_path(parent_directory(path), O_RDONLY | O_DIRECTORY);
  if (!dir) return;
  DIR* listing = ::fdopendir(dir->get());
  if (listing == nullptr) return;
  (void)dir->release();  // now owned by the listing
  const std::string prefix = temp_name_prefix(path);
  while (const struct dirent* e = ::readdir(listing)) {
    std::string_view name(e->d_name);
    if (name.size() != prefix.size() + 6 || !name.starts_with(prefix)) continue;
    if (name.find_first_not_of(kTempSuffixChars, prefix.size()) == std::string_view::npos) {
      ::unlinkat(::dirfd(listing), e->d_name, 0);
    }
  }
  ::closedir(listing);
}

}  // namespace

std::string artifact_lock_path(std::string_view path) {
  return join_path(parent_directory(path), str_cat(".", artifact_name(path), ".morvatel.lock"));
}

std::string artifact_temp_prefix(std::string_view path) {
  return join_path(parent_directory(path), temp_name_prefix(path));
}

std::expected<void, ArtifactWriteError> atomic_write_artifact(std::string_view path,
                                                              const ArtifactSerializer& serialize,
                                                              BlockingHook* hook) {
  auto io_failure = [](IoError e) { return std::unexpected(ArtifactWriteError{std::move(e)}); };

  // Refuse a path with a NUL before anything is created.
  auto target = c_path(path);
  if (!target) return io_failure(target.error());

  // The rename would put a regular file in the place of a FIFO, a socket
  // or a device, and the node would be gone for good (the readers refuse
  // such files anyway). A link is looked at, not followed: it is the link
  // that a save replaces.
  struct stat st;
  if (::lstat(target->c_str(), &st) == 0 && (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode) ||
                                             S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode))) {
    return io_failure(not_regular_file_error(path));
  }

  auto lock = open_lock_file(artifact_lock_path(path), hook);
  if (!lock) return io_failure(lock.error());
  if (auto r = lock_exclusive(lock->get(), hook); !r) return io_failure(r.error());
  remove_stale_temporaries(path);

  std::string prefix = artifact_temp_prefix(path);
  std::string temp_path;
  UniqueFd temp;
  for (int attempt = 0;; ++attempt) {
    char suffix[6];
    random_suffix(suffix);
    temp_path = prefix + std::string(suffix, sizeof suffix);
    auto fd = open_path(temp_path, O_RDWR | O_CREAT | O_EXCL, 0600);
    if (fd) {
      temp = std::move(*fd);
      break;
    }
    if (fd.error().kind() != IoErrorKind::AlreadyExists || attempt + 1 == kTempNameAttempts) {
      return io_failure(std::move(fd.error()).at_path(temp_path));
    }
  }

  // From here on a failure removes the temporary file; the lock file stays.
  auto clean_up = [&](ArtifactWriteError e) {
    ::unlink(temp_path.c_str());
    temp.close();
    lock->close();
    return std::unexpected(std::move(e));
  };

  LimitedWriter writer(temp.get(), temp_path, MAX_PERSISTENCE_ARTIFACT_BYTES);
  if (!serialize(writer)) {
    if (writer.exceeded()) {
      return clean_up(
          {IoError::custom(IoErrorKind::InvalidInput, artifact_too_large_error().message())});
    }
    return clean_up({std::nullopt});
  }
  if (auto r = full_sync(temp.get()); !r) return clean_up({r.error()});
  if (::rename(temp_path.c_str(), target->c_str()) != 0) return clean_up({IoError::last_os()});

  temp.close();
  if (auto r = sync_parent_directory(path); !r) return io_failure(r.error());
  lock->close();  // releases the lock
  return {};
}

}  // namespace morvatel
