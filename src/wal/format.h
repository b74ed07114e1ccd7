#ifndef MORVATEL_WAL_FORMAT_H_
#define MORVATEL_WAL_FORMAT_H_

// The audited log's line format and hash chain, shared by the writer and
// every reader.
//
// A log is a JSON Lines file. Each line is one entry:
//   {"sequence":N,"previous_hash":"P","entry_hash":"H","data":R}\n
// numbered from 1 without gaps. H is the chain hash of P immediately
// followed by the exact bytes of R (no separator, no length, no tag):
// SHA-256 for a plain log, HMAC-SHA-256 under the caller's key for a keyed
// one. Entry 1 chains from the marker "genesis". Nothing in the file says
// which mode it is in; the reader must be given the writer's key.
//
// The chain covers R's bytes as they stand on the line, so readers hash the
// raw text of `data` and never re-serialise it.

#include <cstddef>
#include <cstdint>
#include <expected>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "audit_json.h"
#include "crypto.h"
#include "fs.h"
#include "io_error.h"
#include "json/record.h"
#include "kernel/json_forms.h"
#include "kernel/records.h"
#include "verify.h"
#include "wal/error.h"

namespace morvatel::wal {

inline constexpr std::string_view kGenesisHash = "genesis";
// Longest line a reader accepts, counted with its line feed.
inline constexpr size_t kMaxLineBytes = 16777216;
// Buffer of the readers' buffered file reader.
inline constexpr size_t kReadBufferBytes = 8192;
inline constexpr size_t kMinHmacKeyBytes = 32;
// Shown in place of the MAC that a reader of a keyed log computed over a
// line that failed the chain test.
inline constexpr std::string_view kWithheldHash = "<withheld>";

// An optional chain key: absent for a plain log.
using WalKey = std::optional<std::string_view>;

// The record of one entry.
struct AuditedRecord {
  AuditBundle audit;
  KernelInput input;
  KernelDecision decision;
  json::Value metadata;
};

const json::RecordSpec& json_record_spec(const AuditedRecord*);

// One line, with `data` in the form its reader needs: the exact text
// (json::RawView, for the chain), the record (replay), or a generic value.
template <typename Data>
struct WalEntryOf {
  uint64_t sequence = 0;
  std::string previous_hash;
  std::string entry_hash;
  Data data{};
};

using RawWalEntry = WalEntryOf<json::RawView>;
using RecordWalEntry = WalEntryOf<AuditedRecord>;
using ValueWalEntry = WalEntryOf<json::Value>;

template <typename Data>
const json::RecordSpec& json_record_spec(const WalEntryOf<Data>*) {
  using E = WalEntryOf<Data>;
  static const json::FieldSpec kFields[] = {
      json::field(&E::sequence, "sequence"),
      json::field(&E::previous_hash, "previous_hash"),
      json::field(&E::entry_hash, "entry_hash"),
      json::field(&E::data, "data"),
  };
  static const json::RecordSpec kSpec{"WalEntry", kFields};
  return kSpec;
}

// Strict entry readers over one line's bytes (the line feed may be left on).
// The raw form's views point into `line`, which must outlive it.
json::Result<RawWalEntry> parse_raw_entry(std::string_view line);
json::Result<RecordWalEntry> parse_record_entry(std::string_view line);
json::Result<ValueWalEntry> parse_value_entry(std::string_view line);

// The record written compactly, as it stands after "data":.
json::Result<void> write_record(json::Sink& sink, const AuditedRecord& record);

// The line for an entry, line feed included.
std::string format_line(uint64_t sequence, std::string_view previous_hash,
                        std::string_view entry_hash, std::string_view record);
// The part of the line before the record, and the part after it.
std::string line_prefix(uint64_t sequence, std::string_view previous_hash,
                        std::string_view entry_hash);
inline constexpr std::string_view kLineSuffix = "}\n";

// "WAL HMAC key must be at least 32 bytes, found {len}" (InvalidInput).
IoError key_too_short_error(size_t len);
// "WAL sequence overflow" (InvalidData).
IoError sequence_overflow_error();

// The chain hash of one log (SHA-256, or HMAC-SHA-256 under its key), with
// its context made once and started again for every entry: keying, and
// setting up a hash context, cost more than hashing a short line.
class ChainHasher {
 public:
  // The key must be long enough.
  explicit ChainHasher(WalKey key);
  ChainHasher(const ChainHasher& o);
  ChainHasher(ChainHasher&&) noexcept = default;
  ChainHasher& operator=(ChainHasher&&) noexcept = default;

  // The chain hash of `previous_hash` immediately followed by `data`.
  Digest32 digest(std::string_view previous_hash, std::string_view data);

 private:
  std::optional<HmacSha256> mac_;
  Sha256 sha_;
};

// The chain hash of `previous_hash` followed by `data`, as 64 lowercase hex
// characters. Fails only for a key shorter than 32 bytes.
std::expected<std::string, IoError> compute_hash(std::string_view previous_hash,
                                                 std::string_view data, WalKey key);

// A buffered reader over a file descriptor it does not own.
class BufferedReader {
 public:
  explicit BufferedReader(int fd, size_t capacity = kReadBufferBytes)
      : fd_(fd), buf_(capacity) {}

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
std::expected<std::string_view, IoError> read_line_view(BufferedReader& reader,
                                                        std::string& spill);

// Space, tab, line feed, form feed or carriage return only (not vertical
// tab): such lines count for nothing.
bool is_blank_line(std::string_view line);

// A log's head: the last entry's sequence and hash; (0, "genesis") empty.
struct WalHead {
  uint64_t sequence = 0;
  std::string last_hash{kGenesisHash};
  bool operator==(const WalHead&) const = default;
};

// The chain tests of one parsed entry, in order: its sequence against the
// expected one, its previous hash against the head, its chain hash
// recomputed over `data` and compared in constant time, then the sequence
// overflow. An entry that passes becomes the head.
class ChainCursor {
 public:
  // A key shorter than the minimum fails the first entry's hash.
  explicit ChainCursor(WalKey key)
      : key_(key), hasher_(key && key->size() < kMinHmacKeyBytes ? std::nullopt : key) {}

  std::expected<void, WalError> accept(uint64_t sequence, std::string_view previous_hash,
                                       std::string_view entry_hash, std::string_view data);
  const WalHead& head() const& { return head_; }
  WalHead head() && { return std::move(head_); }

 private:
  WalKey key_;
  ChainHasher hasher_;
  WalHead head_;
  uint64_t expected_sequence_ = 1;
};

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

// One line read as an entry whose `data` is decoded as Data (a record or a
// generic value) while the line is read, the text it was decoded from
// being what the chain hash covers; then the chain tests. The outcome is
// that of reading the line twice, first with `data` as raw text through the
// chain tests, then again with `data` decoded: the chain walk's faults
// first, then a `data` that does not decode (WalError::Json, positioned in
// the line). `entry` may be the previous line's, and its storage is then
// reused: sound for Data whose members the text must all give. After a
// failure `entry` holds nothing of use.
template <typename Data>
std::expected<void, WalError> read_decoded_line(ChainCursor& chain, std::string_view line,
                                                WalEntryOf<json::WithText<Data>>& entry) {
  auto read = json::parse_into(line, entry);
  if (read) {
    return chain.accept(entry.sequence, entry.previous_hash, entry.entry_hash, entry.data.text);
  }
  // `data` did not decode. A line that the chain walk refuses, or whose
  // chain does not hold, is reported as the walk reports it, before
  // anything about `data`: read it again as the walk does.
  auto raw = parse_raw_entry(line);
  if (!raw) return std::unexpected(WalError::json(std::move(raw.error())));
  if (auto r = chain.accept(raw->sequence, raw->previous_hash, raw->entry_hash, raw->data.text);
      !r) {
    return r;
  }
  // The chain holds, so the fault in `data` stands; it was met reading the
  // whole line, so its position is in the line.
  return std::unexpected(WalError::json(std::move(read.error())));
}

// An entry with `data` as a generic value and its text.
using ValueTextEntry = WalEntryOf<json::WithText<json::Value>>;

// validate_chain_inner for a log whose entries must also read with `data`
// as a generic value, each line read once: visit is called with every
// entry that passed.
std::expected<WalHead, WalError> validate_value_chain(
    std::string_view path, WalKey key,
    const std::function<std::expected<void, WalError>(const ValueTextEntry& entry)>& visit);

// Called for every entry that passed the chain tests, with its line and its
// raw entry; an error ends the walk.
using EntryVisitor = std::function<std::expected<void, WalError>(std::string_view line,
                                                                  const RawWalEntry& entry)>;

// The chain walk over an open file positioned at its start: each line is
// parsed, its sequence and previous hash tested, its chain hash recomputed
// and compared in constant time. Returns the head, or the first fault;
// nothing after the fault is read. The caller owns the descriptor and has
// checked the key length.
std::expected<WalHead, WalError> walk_chain(int fd, WalKey key,
                                            const EntryVisitor& visit = nullptr);

// The read-only check of a log file: key length first, then the file opened
// for reading (never created), walked, and closed in every outcome.
std::expected<WalHead, WalError> validate_chain_inner(std::string_view path, WalKey key,
                                                      const EntryVisitor& visit = nullptr);

}  // namespace morvatel::wal

#endif  // MORVATEL_WAL_FORMAT_H_
