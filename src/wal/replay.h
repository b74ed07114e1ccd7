#ifndef MORVATEL_WAL_REPLAY_H_
#define MORVATEL_WAL_REPLAY_H_

// The full check of a log by a party that holds only the file (and perhaps
// its key) and the policy: the chain walk, every record decoded strictly,
// and then, entry by entry, the stored audit bundle checked, the policy
// resolved, the kernel replayed on the stored request and all three digests
// compared. It fails closed: the first entry that does not pass ends the
// check, so a returned list reports every entry as fully verified.

#include <cstdint>
#include <expected>
#include <string_view>
#include <vector>

#include "kernel/policy.h"
#include "wal/error.h"
#include "wal/chain.h"

namespace morvatel::wal {

inline constexpr uint64_t kDefaultMaxReplayEntries = 100000;
inline constexpr uint64_t kDefaultMaxReplayBytes = 268435456;

struct WalReplayVerdict {
  uint64_t sequence = 0;
  bool replay_valid = false;
  bool policy_digest_match = false;
  bool input_digest_match = false;
  bool decision_digest_match = false;
};

// An entry as the replay reads it: its record, and the text of `data` the
// record was read from (a view into the line, for the chain hash).
using ReplayEntry = WalEntryOf<json::WithText<AuditedRecord>>;

// One non-blank line of the replay, read into `entry` (reused from line to
// line, so that its storage is too) and put through the chain tests. The
// faults and their order are the chain walk's, then a record that does not
// read strictly (WalError::Json, positioned in the line). After a failure
// `entry` holds nothing of use.
std::expected<void, WalError> read_replay_line(ChainCursor& chain, std::string_view line,
                                               ReplayEntry& entry);

// Refuses a file larger than `max_total_bytes` before reading a line, and
// more than `max_entries` entries once the whole chain has been walked.
// Never writes and takes no lock.
std::expected<std::vector<WalReplayVerdict>, WalError> replay_verify(std::string_view path,
                                                                     const PolicySnapshot& snapshot,
                                                                     WalKey key,
                                                                     uint64_t max_entries,
                                                                     uint64_t max_total_bytes);

}  // namespace morvatel::wal

#endif  // MORVATEL_WAL_REPLAY_H_
