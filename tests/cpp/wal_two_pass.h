#ifndef MORVATEL_TESTS_CPP_WAL_TWO_PASS_H_
#define MORVATEL_TESTS_CPP_WAL_TWO_PASS_H_

// The reference for the log's one-pass line reading, shared by its test and
// its fuzzer, the one-pass readings themselves, and a printable outcome of
// any of them for comparison.

#include <expected>
#include <string>
#include <string_view>

#include "json/record.h"
#include "json/writer.h"
#include "text.h"
#include "wal/chain.h"
#include "wal/replay.h"

namespace morvatel::wal::testing {

// The entry with the text its chain hash covered, or the error; and the head after it.
template <typename Data>
std::string outcome(const std::expected<void, WalError>& r, const ChainCursor& chain,
                    uint64_t sequence, std::string_view previous_hash, std::string_view entry_hash,
                    const Data& data, std::string_view text) {
  const std::string head = str_cat(" head=", chain.head().sequence, "/", chain.head().last_hash);
  if (!r)
    return str_cat("error ", static_cast<int>(r.error().kind()), ": ", r.error().message(), head);
  return str_cat("ok ", sequence, " ", previous_hash, " ", entry_hash, " ", json::to_string(data),
                 " text=", text, head);
}

// The two-pass reading: the entry with its data as raw text through the
// chain tests, then the whole line again with `data` decoded as Data.
template <typename Data>
std::string two_pass(ChainCursor& chain, std::string_view line) {
  auto fail = [&](WalError e) {
    return outcome(std::unexpected(std::move(e)), chain, 0, "", "", Data{}, "");
  };
  auto raw = parse_raw_entry(line);
  if (!raw) return fail(WalError::json(std::move(raw.error())));
  if (auto r = chain.accept(raw->sequence, raw->previous_hash, raw->entry_hash, raw->data.text); !r)
    return fail(std::move(r.error()));
  auto entry = json::parse<WalEntryOf<Data>>(line);
  if (!entry) return fail(WalError::json(std::move(entry.error())));
  return outcome({}, chain, entry->sequence, entry->previous_hash, entry->entry_hash, entry->data,
                 raw->data.text);
}

// `entry` may carry an earlier line's content: the readers reuse it.
template <typename Data>
std::string one_pass(ChainCursor& chain, std::string_view line,
                     WalEntryOf<json::WithText<Data>>&& entry = {}) {
  auto r = read_decoded_line(chain, line, entry);
  return outcome(r, chain, entry.sequence, entry.previous_hash, entry.entry_hash, entry.data.value,
                 entry.data.text);
}

// What the replay itself does with a line: its own reader, not the generic
// one above, so that whatever it does beyond that one is compared too.
inline std::string replay_pass(ChainCursor& chain, std::string_view line) {
  ReplayEntry entry;
  auto r = read_replay_line(chain, line, entry);
  return outcome(r, chain, entry.sequence, entry.previous_hash, entry.entry_hash, entry.data.value,
                 entry.data.text);
}

}  // namespace morvatel::wal::testing

#endif  // MORVATEL_TESTS_CPP_WAL_TWO_PASS_H_
