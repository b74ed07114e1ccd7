#ifndef MORVATEL_BOUNDED_IO_H_
#define MORVATEL_BOUNDED_IO_H_

// Size ceilings for everything the system writes or loads, and the atomic
// replacement of artefact files (snapshots, anchors): a reader, or a crash at
// any moment, sees the whole old file or the whole new one, never a mix.

#include <cstddef>
#include <cstdint>
#include <expected>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "blocking.h"
#include "io_error.h"

namespace morvatel {

// Ceiling of an artefact file, on save and on load (16 MiB).
inline constexpr uint64_t MAX_PERSISTENCE_ARTIFACT_BYTES = 16777216;
// Ceiling of one serialised log record: 512 bytes less than 16 MiB.
inline constexpr uint64_t MAX_WAL_RECORD_BYTES = 16776704;

// A byte-budgeted sink that refuses, whole, any write that would take it
// past its limit; bytes of earlier writes stay where they went. The sink is
// an in-memory buffer, or a file descriptor it does not own.
class LimitedWriter {
 public:
  // Into an in-memory buffer.
  explicit LimitedWriter(uint64_t limit) : limit_(limit) {}
  // Into an open file; `path` only names the file in error messages.
  LimitedWriter(int fd, std::string path, uint64_t limit)
      : limit_(limit), fd_(fd), path_(std::move(path)) {}

  // All of the bytes or none: fails with limit_exceeded_error() (and sets
  // exceeded()) when they do not fit in what is left; a file write refused
  // by the system reads as its text followed by " at path \"...\"", a write
  // that took nothing as "failed to write whole buffer".
  std::expected<void, IoError> write_all(const void* data, size_t len);
  std::expected<void, IoError> write_all(std::string_view bytes) {
    return write_all(bytes.data(), bytes.size());
  }
  // The same, under the name stream adaptors expect.
  std::expected<void, IoError> write(const void* data, size_t len) { return write_all(data, len); }

  uint64_t limit() const { return limit_; }
  uint64_t written() const { return written_; }
  // Set by the first write refused for the limit; never cleared. Tells a
  // limit failure from any other failure of a serialiser writing here.
  bool exceeded() const { return exceeded_; }

  // The in-memory buffer (empty for a file sink).
  const std::string& buffer() const { return buffer_; }
  std::string take_buffer() { return std::move(buffer_); }

 private:
  uint64_t limit_;
  uint64_t written_ = 0;
  bool exceeded_ = false;
  int fd_ = -1;
  std::string path_;
  std::string buffer_;
};

// "serialized artifact exceeds configured byte limit" (kind InvalidData).
IoError limit_exceeded_error();

// "persistence artifact exceeds 16777216 bytes" (kind InvalidData).
IoError artifact_too_large_error();

// The whole content of an artefact file, refusing one larger than
// MAX_PERSISTENCE_ARTIFACT_BYTES before reading it (and again should it grow
// while being read). Takes no lock.
std::expected<std::string, IoError> read_bounded_artifact(std::string_view path);

// Writes the artefact's bytes into the sink; returns false on failure,
// keeping its own error value (typically a JSON error) for its caller.
using ArtifactSerializer = std::function<bool(LimitedWriter&)>;

// A failed replacement. `io` holds the I/O error of the replacement itself
// (including the byte limit, as artifact_too_large_error()); it is empty
// when the serialiser failed for another reason, whose error the
// serialiser's caller holds.
struct ArtifactWriteError {
  std::optional<IoError> io;
  bool serializer_failed() const { return !io.has_value(); }
};

// File names beside the target: the lock file ".{name}.morvatel.lock" and
// the prefix ".{name}.tmp." of temporary files, name being the target's
// final component when that is a plain, valid UTF-8 name, else "snapshot".
std::string artifact_lock_path(std::string_view path);
std::string artifact_temp_prefix(std::string_view path);

// Replaces the file at `path` with what `serialize` writes, atomically:
// takes an exclusive lock on the sibling lock file (waiting for other
// writers; `hook` sees the wait), writes a new temporary file in the same
// directory through a LimitedWriter of MAX_PERSISTENCE_ARTIFACT_BYTES,
// flushes it to stable storage, renames it over the target and flushes the
// directory. On failure before the rename the temporary file is removed and
// the target is untouched; a failure of the directory flush is reported
// after the target was replaced. The new file has permission bits 0600.
// A target that is a FIFO, a socket or a device is refused before anything
// is created: a save replaces a regular file, or a link (the link itself,
// whatever it names).
std::expected<void, ArtifactWriteError> atomic_write_artifact(std::string_view path,
                                                              const ArtifactSerializer& serialize,
                                                              BlockingHook* hook = nullptr);

}  // namespace morvatel

#endif  // MORVATEL_BOUNDED_IO_H_
