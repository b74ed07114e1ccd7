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
#include <optional>
#include <string>
#include <string_view>

#include "crypto.h"
#include "io_error.h"

namespace morvatel::wal {

inline constexpr std::string_view kGenesisHash = "genesis";
// Longest line a reader accepts, counted with its line feed.
inline constexpr size_t kMaxLineBytes = 16777216;
// Buffer of the readers' buffered file reader.
inline constexpr size_t kReadBufferBytes = 8192;
// Shown in place of the MAC that a reader of a keyed log computed over a
// line that failed the chain test.
inline constexpr std::string_view kWithheldHash = "<withheld>";

// An optional chain key: absent for a plain log.
using WalKey = std::optional<std::string_view>;

// The line for an entry, line feed included.
std::string format_line(uint64_t sequence, std::string_view previous_hash,
                        std::string_view entry_hash, std::string_view record);
// The part of the line before the record, and the part after it.
std::string line_prefix(uint64_t sequence, std::string_view previous_hash,
                        std::string_view entry_hash);
inline constexpr std::string_view kLineSuffix = "}\n";

// "WAL HMAC key must be at least 32 bytes, found {len}" (InvalidInput) for
// a key shorter than that; nothing for a long enough key or none.
std::optional<IoError> key_fault(WalKey key);
// "WAL sequence overflow" (InvalidData).
IoError sequence_overflow_error();

// The chain hash of one log (SHA-256, or HMAC-SHA-256 under its key), with
// its context made once: keying, and setting up a hash context, cost more
// than hashing a short line. Every entry restarts the hash, or copies the
// MAC as it stood just after keying.
class ChainHasher {
 public:
  // The key must be long enough.
  explicit ChainHasher(WalKey key);
  ChainHasher(const ChainHasher& o);
  ChainHasher(ChainHasher&&) noexcept = default;
  ChainHasher& operator=(ChainHasher&&) noexcept = default;

  // The chain hash of `previous_hash` immediately followed by `data`.
  Digest32 digest(std::string_view previous_hash, std::string_view data);
  bool keyed() const { return mac_.has_value(); }

 private:
  std::optional<HmacSha256> mac_;
  Sha256 sha_;
};

// The chain hash of `previous_hash` followed by `data`, as 64 lowercase hex
// characters. Fails only for a key shorter than 32 bytes.
std::expected<std::string, IoError> compute_hash(std::string_view previous_hash,
                                                 std::string_view data, WalKey key);

}  // namespace morvatel::wal

#endif  // MORVATEL_WAL_FORMAT_H_
