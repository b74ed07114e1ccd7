#include "wal/writer.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>

#include "bounded_io.h"
#include "crypto.h"
#include "debug_text.h"
#include "digest.h"
#include "json_artifact.h"
#include "text.h"
#include "verify.h"

namespace morvatel::wal {

namespace {

std::optional<std::string> env_value(const char* name) {
  const char* v = ::getenv(name);
  if (v == nullptr || *v == '\0') return std::nullopt;
  return std::string(v);
}

// Whether the open file is empty or ends in a line feed.
std::expected<bool, IoError> last_byte_is_line_feed(int fd) {
  struct stat st;
  if (::fstat(fd, &st) != 0) return std::unexpected(IoError::last_os());
  if (st.st_size == 0) return true;
  char last = 0;
  for (;;) {
    ssize_t n = ::pread(fd, &last, 1, st.st_size - 1);
    if (n == 1) return last == '\n';
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return std::unexpected(IoError::last_os());
    return true;  // shrunk meanwhile: nothing to end
  }
}

}  // namespace

std::expected<std::string, IoError> wal_lock_directory() {
  if (auto dir = env_value("MORVATEL_WAL_LOCK_DIR")) return *dir;
  if (auto dir = env_value("XDG_RUNTIME_DIR")) {
    return join_path(join_path(*dir, "morvatel"), "wal-locks");
  }
  if (auto dir = env_value("HOME")) {
    return join_path(join_path(join_path(*dir, ".cache"), "morvatel"), "wal-locks");
  }
  return std::unexpected(IoError::custom(
      IoErrorKind::NotFound, "no secure WAL lock directory; set MORVATEL_WAL_LOCK_DIR"));
}

std::string wal_lock_file_name(uint64_t dev, uint64_t ino) {
  std::string name = "inode-";
  append_hex(name, dev, 16);
  name += '-';
  append_hex(name, ino, 16);
  name += ".lock";
  return name;
}

std::expected<void, IoError> create_directories(std::string_view path) {
  auto c = c_path(path);
  if (!c) return std::unexpected(c.error());
  if (c->empty()) return {};
  if (::mkdir(c->c_str(), 0777) == 0) return {};
  int err = errno;
  if (err == ENOENT) {
    // Make the parents first, then try again.
    std::string parent = parent_directory(*c);
    if (parent != *c && parent != "." && parent != "/") {
      if (auto r = create_directories(parent); !r) return r;
    }
    if (::mkdir(c->c_str(), 0777) == 0) return {};
    err = errno;
  }
  struct stat st;
  if (::stat(c->c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return {};
  return std::unexpected(IoError::os(err));
}

IoError record_too_large_error() {
  return IoError::custom(IoErrorKind::InvalidInput,
                         str_cat("WAL entry exceeds ", MAX_WAL_RECORD_BYTES, " bytes"));
}

IoError poisoned_error() {
  return IoError::custom(IoErrorKind::Other, "WAL writer is poisoned after an earlier I/O failure");
}

std::optional<json::Error> metadata_depth_error(std::string_view text) {
  int depth = 0;
  bool in_string = false;
  bool escaped = false;
  size_t line = 1;
  size_t line_start = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '\n') {
      ++line;
      line_start = i + 1;
    }
    if (in_string) {
      if (escaped) {
        escaped = false;
      } else if (c == '\\') {
        escaped = true;
      } else if (c == '"') {
        in_string = false;
      }
      continue;
    }
    if (c == '"') {
      in_string = true;
    } else if (c == '[' || c == '{') {
      if (++depth > kMaxMetadataDepth) {
        // Where a reader of the stored line stops: at this bracket.
        return json::Error{json::Error::Category::Syntax, "recursion limit exceeded", line,
                           i + 1 - line_start};
      }
    } else if (c == ']' || c == '}') {
      --depth;
    }
  }
  return std::nullopt;
}

std::expected<WalWriter, WalError> WalWriter::open(std::string_view path,
                                                   std::string_view display_path,
                                                   std::optional<std::string> key) {
  // The caller's copy of the key is wiped however this ends, an exception
  // included; the writer keeps the key only inside its MAC.
  struct WipeOnExit {
    std::optional<std::string>& key;
    ~WipeOnExit() {
      if (key) secure_wipe(key->data(), key->size());
    }
  } wipe{key};
  const WalKey key_view = key ? WalKey(*key) : std::nullopt;
  if (auto fault = key_fault(key_view)) return std::unexpected(WalError::io(std::move(*fault)));
  auto fail = [](IoError e) { return std::unexpected(WalError::io(std::move(e))); };

  // Open without creating first, so the writer knows whether the log's
  // directory entry is new and must be made durable on the first sync.
  // The status comes from the descriptor opened: looking the path up again
  // could name the lock after another file swapped in meanwhile.
  bool created = false;
  struct stat st;
  auto log = open_regular(path, O_RDWR | O_APPEND, 0666, &st);
  if (!log && log.error().os_error() == ENOENT) {
    log = open_regular(path, O_RDWR | O_APPEND | O_CREAT, 0666, &st);
    created = true;
  }
  if (!log) return fail(std::move(log.error()));
  std::string name = wal_lock_file_name(static_cast<uint64_t>(st.st_dev),
                                        static_cast<uint64_t>(st.st_ino));

  auto dir = wal_lock_directory();
  if (!dir) return fail(std::move(dir.error()));
  if (auto r = create_directories(*dir); !r) return fail(std::move(r.error()));
  auto lock = open_lock_file(join_path(*dir, name));
  if (!lock) return fail(std::move(lock.error()));
  // The lock file alone excludes only writers that chose the same lock
  // directory; a lock on the log's own open file excludes every other
  // writer, whatever its environment. Readers take neither.
  if (!try_lock_exclusive(lock->get()) || !try_lock_exclusive(log->get())) {
    lock->close();
    log->close();
    return fail(
        IoError::custom(IoErrorKind::WouldBlock, str_cat("WAL already has an active writer: ",
                                                         escape_text(display_path, kLossyText))));
  }

  WalHead head;
  bool ends_open = false;
  {
    auto reading = dup_cloexec(log->get());
    if (!reading) return fail(std::move(reading.error()));
    if (::lseek(reading->get(), 0, SEEK_SET) < 0) return fail(IoError::last_os());
    auto walked = walk_chain(reading->get(), key_view);
    if (!walked) return std::unexpected(std::move(walked.error()));
    head = std::move(*walked);
    auto last = last_byte_is_line_feed(log->get());
    if (!last) return fail(std::move(last.error()));
    ends_open = !*last;
  }
  WalWriter writer(std::move(*log), std::move(*lock), key_view, std::move(head));
  writer.open_line_ = ends_open;
  if (created) writer.unsynced_directory_ = std::string(path);
  return writer;
}

std::expected<WalAppend, WalError> WalWriter::append_verified(const PolicySnapshot& snapshot,
                                                              const KernelInput& input,
                                                              const KernelDecision& decision,
                                                              const json::Value& metadata) {
  uint64_t next_for_report = head_.sequence == UINT64_MAX ? UINT64_MAX : head_.sequence + 1;
  auto bundle = verified_audit_bundle(snapshot, input, decision);
  if (!bundle) {
    return std::unexpected(WalError::audit_failed(
        next_for_report, str_cat("verify_decision failed: ", bundle.error().message())));
  }
  if (poisoned_) return std::unexpected(WalError::io(poisoned_error()));
  if (head_.sequence == UINT64_MAX) return std::unexpected(WalError::io(sequence_overflow_error()));
  uint64_t next = head_.sequence + 1;

  AuditedRecord record{std::move(*bundle), input, decision, metadata};
  LimitedWriter buffer(MAX_WAL_RECORD_BYTES);
  {
    LimitedJsonSink sink(buffer);
    if (auto w = write_record(sink, record); !w) {
      if (buffer.exceeded()) return std::unexpected(WalError::io(record_too_large_error()));
      return std::unexpected(WalError::json(std::move(w.error())));
    }
  }
  std::string bytes = buffer.take_buffer();
  std::string hash = bytes_to_hex(hasher_.digest(head_.last_hash, bytes));

  // The whole line in one call, appended at the end of the file (O_APPEND),
  // so that no reader sees it in pieces. A log whose last line lost its
  // line feed (a crash, or a write that failed just before it) gets one
  // first: the new entry must not be glued onto that line.
  std::string prefix = line_prefix(next, head_.last_hash, hash);
  const std::string_view pieces[] = {open_line_ ? std::string_view("\n") : std::string_view(),
                                     prefix, bytes, kLineSuffix};
  // Everything that can fail to allocate happens before the write: once the
  // line is in the file, the head must follow it without fail.
  WalAppend out{next, head_.last_hash, hash};
  if (auto r = write_all_pieces(log_.get(), pieces); !r) {
    poisoned_ = true;
    return std::unexpected(WalError::io(std::move(r.error())));
  }
  open_line_ = false;
  head_.sequence = next;
  head_.last_hash.swap(hash);
  return out;
}

std::expected<void, WalError> WalWriter::flush() const {
  if (poisoned_) return std::unexpected(WalError::io(poisoned_error()));
  return {};
}

std::expected<void, WalError> WalWriter::sync() {
  if (poisoned_) return std::unexpected(WalError::io(poisoned_error()));
  if (auto r = full_sync(log_.get()); !r) {
    poisoned_ = true;
    return std::unexpected(WalError::io(std::move(r.error())));
  }
  // A log this writer created is durable only once its directory entry is:
  // without this, a crash after a successful sync could lose the whole file.
  if (unsynced_directory_) {
    if (auto r = sync_parent_directory(*unsynced_directory_); !r) {
      poisoned_ = true;
      return std::unexpected(WalError::io(std::move(r.error())));
    }
    unsynced_directory_.reset();
  }
  return {};
}

std::expected<void, WalError> WalWriter::close(WalWriter writer, bool sync) {
  std::expected<void, WalError> result;
  if (sync) result = writer.sync();
  writer.log_.close();
  writer.lock_.close();
  return result;
}

}  // namespace morvatel::wal
