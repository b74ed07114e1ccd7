#ifndef MORVATEL_WAL_CHAIN_H_
#define MORVATEL_WAL_CHAIN_H_

// The hash chain's tests, entry after entry, and the walks over a whole
// log that every reader and the writer's opening share.

#include <cstdint>
#include <expected>
#include <functional>
#include <string>
#include <string_view>
#include <utility>

#include "wal/error.h"
#include "wal/format.h"
#include "wal/line_reader.h"
#include "wal/record.h"

namespace morvatel::wal {

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
  explicit ChainCursor(WalKey key) : key_(key), hasher_(key_fault(key) ? std::nullopt : key) {}

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

// The chain walk over an open file positioned at its start, each line read
// with read_decoded_line and every entry that passed handed to visit (an
// error from it ends the walk). Returns the head, or the first fault.
template <typename Data, typename Visit>
std::expected<WalHead, WalError> walk_decoded_chain(int fd, WalKey key, Visit&& visit) {
  ChainCursor chain(key);
  WalEntryOf<json::WithText<Data>> entry;
  auto walked = for_each_line(fd, [&](std::string_view line) -> std::expected<void, WalError> {
    if (auto r = read_decoded_line(chain, line, entry); !r) return r;
    return visit(std::as_const(entry));
  });
  if (!walked) return std::unexpected(std::move(walked.error()));
  return std::move(chain).head();
}

// An entry with `data` as a generic value and its text.
using ValueTextEntry = WalEntryOf<json::WithText<json::Value>>;

// validate_chain_inner for a log whose entries must also read with `data`
// as a generic value, each line read once.
std::expected<WalHead, WalError> validate_value_chain(std::string_view path, WalKey key);

// Called for every entry that passed the chain tests, with its line and its
// raw entry; an error ends the walk.
using EntryVisitor =
    std::function<std::expected<void, WalError>(std::string_view line, const RawWalEntry& entry)>;

// The chain walk over an open file positioned at its start: each line is
// parsed, its sequence and previous hash tested, its chain hash recomputed
// and compared in constant time. Returns the head, or the first fault;
// nothing after the fault is read. The caller owns the descriptor and has
// checked the key length.
std::expected<WalHead, WalError> walk_chain(int fd, WalKey key,
                                            const EntryVisitor& visit = nullptr);

// A log about to be read with `key`: the key's length checked first, then
// the file opened as open_log_for_reading opens it.
std::expected<UniqueFd, WalError> open_log_to_check(std::string_view path, WalKey key,
                                                    uint64_t* size = nullptr);

// The read-only check of a log file: key length first, then the file opened
// for reading (never created), walked, and closed in every outcome.
std::expected<WalHead, WalError> validate_chain_inner(std::string_view path, WalKey key,
                                                      const EntryVisitor& visit = nullptr);

}  // namespace morvatel::wal

#endif  // MORVATEL_WAL_CHAIN_H_
