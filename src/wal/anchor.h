#ifndef MORVATEL_WAL_ANCHOR_H_
#define MORVATEL_WAL_ANCHOR_H_

// A log head stored apart from the log. A log that was cut short, or whose
// tail was rewritten with a recomputed chain, still walks cleanly on its
// own; compared with an anchor saved earlier, it no longer ends where it
// did.

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

#include "blocking.h"
#include "json/record.h"
#include "persistence_error.h"
#include "wal/error.h"
#include "wal/chain.h"

namespace morvatel::wal {

inline constexpr std::string_view kAnchorSchemaVersion = "morvatel.wal-anchor.v1";

// Nothing is checked when an anchor is built or loaded: verify_head alone
// judges the tag, the mode and the head.
struct WalAnchor {
  std::string schema_version;
  uint64_t sequence = 0;
  std::string last_hash;
  bool keyed = false;

  bool operator==(const WalAnchor&) const = default;

  // The anchor of a writer's head.
  static WalAnchor of_head(const WalHead& head, bool keyed) {
    return WalAnchor{std::string(kAnchorSchemaVersion), head.sequence, head.last_hash, keyed};
  }
};

const json::RecordSpec& json_record_spec(const WalAnchor*);

// The head a verifier computed, against the anchor: the tag first (kind
// InvalidData "unknown WAL anchor schema: {}"), then the mode (InvalidInput
// "WAL anchor keyed mode does not match verifier mode"), then sequence and
// hash together (InvalidData "WAL anchor mismatch: expected sequence {}
// hash {}, found sequence {} hash {}", anchored values first). Failures are
// WalError::Io.
std::expected<WalHead, WalError> verify_head(const WalAnchor& anchor, uint64_t sequence,
                                             std::string last_hash, bool keyed);

// The anchor file: the two-space-indented JSON object, written by atomic
// replacement (`hook` sees the wait for the sibling lock) and read by the
// bounded read, strictly.
std::expected<void, PersistenceError> save_anchor(std::string_view path, const WalAnchor& anchor,
                                                  BlockingHook* hook = nullptr);
std::expected<WalAnchor, PersistenceError> load_anchor(std::string_view path);

}  // namespace morvatel::wal

#endif  // MORVATEL_WAL_ANCHOR_H_
