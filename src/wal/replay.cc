#include "wal/replay.h"

#include <algorithm>
#include <optional>

#include "digest.h"
#include "fs.h"
#include "text.h"
#include "verify.h"

namespace morvatel::wal {

namespace {

const char* flag(bool b) { return b ? "true" : "false"; }

// Whether `hex` is the digest written as 64 lowercase hex characters; the
// same answer as comparing with bytes_to_hex(digest), without the text.
bool is_hex_of(const Digest32& digest, std::string_view hex) {
  static constexpr char kDigits[] = "0123456789abcdef";
  if (hex.size() != 2 * digest.size()) return false;
  // Differences are folded in without a branch per byte.
  unsigned diff = 0;
  for (size_t i = 0; i < digest.size(); ++i) {
    diff |= static_cast<unsigned char>(hex[2 * i] ^ kDigits[digest[i] >> 4]) |
            static_cast<unsigned char>(hex[2 * i + 1] ^ kDigits[digest[i] & 0xF]);
  }
  return diff == 0;
}

// The audit of one decoded entry: its verdict, or the reason it failed.
std::expected<WalReplayVerdict, WalError> audit_entry(uint64_t sequence,
                                                      const AuditedRecord& record,
                                                      const PolicySnapshot& snapshot,
                                                      std::string_view snapshot_digest_hex) {
  const AuditBundle& audit = record.audit;
  auto fail = [&](std::string reason) {
    return std::unexpected(WalError::audit_failed(sequence, std::move(reason)));
  };

  if (auto canonical = validate_audit_bundle(audit); !canonical) {
    return fail(str_cat("non-canonical audit bundle: ", canonical.error().message()));
  }
  // One policy can be resolved: the given snapshot, when the entry names it
  // by both epochs and its digest.
  if (audit.policy_epoch != snapshot.policy_epoch() ||
      audit.catalog_epoch != snapshot.catalog_epoch() ||
      audit.policy_digest_hex != snapshot_digest_hex) {
    return fail(str_cat("policy not resolved for epoch=", audit.policy_epoch, " catalog_epoch=",
                        audit.catalog_epoch, " digest=", audit.policy_digest_hex));
  }

  WalReplayVerdict v;
  v.sequence = sequence;
  // The snapshot cannot change, so its digest is the one computed once.
  v.policy_digest_match = snapshot_digest_hex == audit.policy_digest_hex;
  v.replay_valid = verify_decision(snapshot, record.input, record.decision).valid();
  v.input_digest_match = is_hex_of(input_digest(record.input), audit.input_digest_hex);
  v.decision_digest_match = is_hex_of(decision_digest(record.decision), audit.decision_digest_hex);
  if (!(v.replay_valid && v.policy_digest_match && v.input_digest_match &&
        v.decision_digest_match)) {
    return fail(str_cat("replay_valid=", flag(v.replay_valid), " policy_match=",
                        flag(v.policy_digest_match), " input_match=", flag(v.input_digest_match),
                        " decision_match=", flag(v.decision_digest_match)));
  }
  return v;
}

IoError limit_error(std::string_view what, uint64_t found, uint64_t limit) {
  return IoError::custom(IoErrorKind::InvalidData,
                         str_cat(what, " exceeds configured limit: found ", found, ", limit ",
                                 limit));
}

}  // namespace

std::expected<void, WalError> read_replay_line(ChainCursor& chain, std::string_view line,
                                               ReplayEntry& entry) {
  // Every member of an entry and its record is required, so the entry can
  // be read into again line after line.
  return read_decoded_line(chain, line, entry);
}

std::expected<std::vector<WalReplayVerdict>, WalError> replay_verify(std::string_view path,
                                                                     const PolicySnapshot& snapshot,
                                                                     WalKey key,
                                                                     uint64_t max_entries,
                                                                     uint64_t max_total_bytes) {
  // One open: the size judged is that of the file then read, even if
  // another file is renamed into place meanwhile.
  uint64_t size = 0;
  auto fd = open_log_to_check(path, key, &size);
  if (!fd) return std::unexpected(std::move(fd.error()));
  if (size > max_total_bytes) {
    return std::unexpected(WalError::io(limit_error("WAL byte size", size, max_total_bytes)));
  }

  // Each kept entry is audited as soon as it has been read, while its
  // record is at hand, rather than kept until the end. What is reported
  // stays as if every audit ran after the whole file had been read: a
  // reading fault anywhere, then the entry count, then the first audit
  // failure in file order (after which no more entries are audited).
  const std::string digest_hex = snapshot_fingerprint(snapshot);
  std::vector<WalReplayVerdict> verdicts;
  verdicts.reserve(static_cast<size_t>(std::min<uint64_t>(max_entries, 1024)));
  std::optional<WalError> audit_failure;
  auto head = walk_decoded_chain<AuditedRecord>(
      fd->get(), key, [&](const ReplayEntry& entry) -> std::expected<void, WalError> {
        if (entry.sequence > max_entries || audit_failure) return {};
        auto v = audit_entry(entry.sequence, entry.data.value, snapshot, digest_hex);
        if (v) {
          verdicts.push_back(*v);
        } else {
          audit_failure = std::move(v.error());
        }
        return {};
      });
  fd->close();
  if (!head) return std::unexpected(std::move(head.error()));
  // Sequences run from 1 without gaps, so the head's is the entry count.
  const uint64_t count = head->sequence;
  if (count > max_entries) {
    return std::unexpected(WalError::io(limit_error("WAL entry count", count, max_entries)));
  }
  if (audit_failure) return std::unexpected(std::move(*audit_failure));
  return verdicts;
}

}  // namespace morvatel::wal
