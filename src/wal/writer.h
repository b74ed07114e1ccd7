#ifndef MORVATEL_WAL_WRITER_H_
#define MORVATEL_WAL_WRITER_H_

// The only way to add entries to an audited log. A writer owns the log file
// and an exclusive cross-process lock on it for its whole life. It re-reads
// the whole log on opening to learn where to continue, refuses a decision
// that does not replay, and appends one hash-chained line per decision.
//
// Durability is explicit: appends only write; sync() flushes to stable
// storage (and, the first time, the directory of a log this writer created,
// so that a synced log cannot vanish in a crash). A failed line write or
// sync poisons the writer, so that no entry can ever follow a torn one.

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

#include "fs.h"
#include "json/value.h"
#include "kernel/policy.h"
#include "kernel/records.h"
#include "wal/anchor.h"
#include "wal/error.h"
#include "wal/chain.h"

namespace morvatel::wal {

// The directory of the writer lock files, from the environment (set and
// non-empty wins, in this order): MORVATEL_WAL_LOCK_DIR as it is,
// $XDG_RUNTIME_DIR/morvatel/wal-locks, $HOME/.cache/morvatel/wal-locks.
// None of them: NotFound "no secure WAL lock directory; set MORVATEL_WAL_LOCK_DIR".
std::expected<std::string, IoError> wal_lock_directory();

// "inode-{dev}-{ino}.lock", both as 16 lowercase hex digits. Named after the
// file rather than the path, so every path to one log shares one lock.
std::string wal_lock_file_name(uint64_t dev, uint64_t ino);

// Creates `path` and its missing parents (mode 0777 less the umask); an
// existing directory is fine.
std::expected<void, IoError> create_directories(std::string_view path);

// "WAL entry exceeds 16776704 bytes" (InvalidInput). A record is held 512
// bytes under the readers' line limit, leaving room for the rest of the
// line, so that every line written can be read back.
IoError record_too_large_error();
// "WAL writer is poisoned after an earlier I/O failure" (Other).
IoError poisoned_error();

// Metadata nests inside the line's entry and record objects; deeper than
// this the readers' nesting limit would refuse the line the writer wrote.
inline constexpr int kMaxMetadataDepth = json::kMaxDepth - 3;
// The error a reader would report for metadata text nesting deeper than
// kMaxMetadataDepth, positioned in that text; nothing when it fits. The
// text is known to be valid JSON.
std::optional<json::Error> metadata_depth_error(std::string_view text);

struct WalAppend {
  uint64_t sequence;
  std::string previous_hash;
  std::string entry_hash;
};

class WalWriter {
 public:
  // Opens (creating if missing, never truncating) the log at `path`, takes
  // the writer lock, and walks the chain to find the head. `display_path`
  // names the log in the lock refusal. A key must hold at least 32 bytes.
  static std::expected<WalWriter, WalError> open(std::string_view path,
                                                 std::string_view display_path,
                                                 std::optional<std::string> key);

  WalWriter(WalWriter&&) noexcept = default;
  WalWriter& operator=(WalWriter&&) noexcept = default;
  ~WalWriter() = default;

  // Verifies the decision by replay, builds its audit bundle and appends
  // one line. The request has passed validate_input. Any failure before
  // the line write leaves the writer as it was.
  std::expected<WalAppend, WalError> append_verified(const PolicySnapshot& snapshot,
                                                     const KernelInput& input,
                                                     const KernelDecision& decision,
                                                     const json::Value& metadata);

  // Lines are written unbuffered: only the poisoned state can fail this.
  std::expected<void, WalError> flush() const;
  // Flushes the log's data to stable storage; a failure poisons.
  std::expected<void, WalError> sync();
  // Closes the log, then the lock file (releasing the lock), in every
  // outcome. With `sync`, a poisoned writer fails and a healthy one is
  // flushed first.
  static std::expected<void, WalError> close(WalWriter writer, bool sync);

  uint64_t sequence() const { return head_.sequence; }
  const std::string& last_hash() const { return head_.last_hash; }
  bool keyed() const { return hasher_.keyed(); }
  bool poisoned() const { return poisoned_; }
  WalAnchor anchor() const { return WalAnchor::of_head(head_, keyed()); }

  // Gives up both descriptors without closing them: the log stays open and
  // the lock held until the process ends. For a writer that must not be
  // closed from where it is being destroyed.
  void leak_descriptors() {
    (void)log_.release();
    (void)lock_.release();
  }

 private:
  // The key is kept only inside the chain hasher's MAC, which wipes it.
  WalWriter(UniqueFd log, UniqueFd lock, WalKey key, WalHead head)
      : lock_(std::move(lock)), log_(std::move(log)), hasher_(key), head_(std::move(head)) {}

  // Declared so that the log is closed before the lock file.
  UniqueFd lock_;
  UniqueFd log_;
  ChainHasher hasher_;
  WalHead head_;
  bool poisoned_ = false;
  // The log ended in a line without its line feed when it was opened, and
  // nothing has been appended since.
  bool open_line_ = false;
  // Path of a log this writer created, until a sync has also flushed the
  // directory that holds it.
  std::optional<std::string> unsynced_directory_;
};

}  // namespace morvatel::wal

#endif  // MORVATEL_WAL_WRITER_H_
