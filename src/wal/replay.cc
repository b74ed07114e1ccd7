#include "wal/replay.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>

#include "digest.h"
#include "fs.h"
#include "text.h"
#include "verify.h"

namespace morvatel::wal {

namespace {

const char* flag(bool b) { return b ? "true" : "false"; }

// The audit of one decoded entry: its verdict, or the reason it failed.
std::expected<WalReplayVerdict, WalError> audit_entry(const RecordWalEntry& entry,
                                                      const PolicySnapshot& snapshot,
                                                      std::string_view snapshot_digest_hex) {
  const AuditedRecord& record = entry.data;
  const AuditBundle& audit = record.audit;
  auto fail = [&](std::string reason) {
    return std::unexpected(WalError::audit_failed(entry.sequence, std::move(reason)));
  };

  if (auto canonical = validate_audit_bundle(audit); !canonical) {
    return fail(str_cat("non-canonical audit bundle: ", canonical.error().message()));
  }
  // One policy can be resolved: the given snapshot, when the entry names it
  // by both epochs and its digest.
  if (audit.policy_epoch != snapshot.policy_epoch() ||
      audit.catalog_epoch != snapshot.catalog_epoch() ||
      audit.policy_digest_hex != snapshot_digest_hex) {
    return fail(str_cat("policy not resolved for epoch=", audit.policy_epoch,
                        " catalog_epoch=", audit.catalog_epoch,
                        " digest=", audit.policy_digest_hex));
  }

  WalReplayVerdict v;
  v.sequence = entry.sequence;
  v.policy_digest_match = snapshot_fingerprint(snapshot) == audit.policy_digest_hex;
  v.replay_valid = verify_decision(snapshot, record.input, record.decision).valid();
  v.input_digest_match = bytes_to_hex(input_digest(record.input)) == audit.input_digest_hex;
  v.decision_digest_match =
      bytes_to_hex(decision_digest(record.decision)) == audit.decision_digest_hex;
  if (!(v.replay_valid && v.policy_digest_match && v.input_digest_match &&
        v.decision_digest_match)) {
    return fail(str_cat("replay_valid=", flag(v.replay_valid),
                        " policy_match=", flag(v.policy_digest_match),
                        " input_match=", flag(v.input_digest_match),
                        " decision_match=", flag(v.decision_digest_match)));
  }
  return v;
}

IoError limit_error(std::string_view what, uint64_t found, uint64_t limit) {
  return IoError::custom(IoErrorKind::InvalidData,
                         str_cat(what, " exceeds configured limit: found ", found, ", limit ", limit));
}

}  // namespace

std::expected<RecordWalEntry, WalError> read_replay_line(ChainCursor& chain,
                                                         std::string_view line) {
  // One pass in the common case: the record is decoded while the line is
  // read, and the text it was decoded from is what the chain hash covers.
  using OnePassEntry = WalEntryOf<json::WithText<AuditedRecord>>;
  auto entry = json::parse<OnePassEntry>(line);
  if (entry) {
    if (auto r = chain.accept(entry->sequence, entry->previous_hash, entry->entry_hash,
                              entry->data.text);
        !r) {
      return std::unexpected(std::move(r.error()));
    }
    return RecordWalEntry{entry->sequence, std::move(entry->previous_hash),
                          std::move(entry->entry_hash), std::move(entry->data.value)};
  }
  // The record did not read. A line that the chain walk refuses, or whose
  // chain does not hold, is reported as the walk reports it, before
  // anything about the record: read it again as the walk does.
  auto raw = parse_raw_entry(line);
  if (!raw) return std::unexpected(WalError::json(std::move(raw.error())));
  if (auto r = chain.accept(raw->sequence, raw->previous_hash, raw->entry_hash, raw->data.text);
      !r) {
    return std::unexpected(std::move(r.error()));
  }
  // The chain holds, so the record's own fault stands; it was met reading
  // the whole line, so its position is in the line.
  return std::unexpected(WalError::json(std::move(entry.error())));
}

std::expected<ReplayLog, WalError> read_replay_log(int fd, WalKey key, uint64_t max_entries) {
  ReplayLog log;
  log.kept.reserve(static_cast<size_t>(std::min<uint64_t>(max_entries, 1024)));
  ChainCursor chain(key);
  auto read = for_each_line(fd, [&](std::string_view line) -> std::expected<void, WalError> {
    auto entry = read_replay_line(chain, line);
    if (!entry) return std::unexpected(std::move(entry.error()));
    // Counts entries, so it cannot pass the sequence range.
    ++log.count;
    if (log.count <= max_entries) log.kept.push_back(std::move(*entry));
    return {};
  });
  if (!read) return std::unexpected(std::move(read.error()));
  return log;
}

std::expected<std::vector<WalReplayVerdict>, WalError> replay_verify(
    std::string_view path, const PolicySnapshot& snapshot, WalKey key, uint64_t max_entries,
    uint64_t max_total_bytes) {
  if (key && key->size() < kMinHmacKeyBytes) {
    return std::unexpected(WalError::io(key_too_short_error(key->size())));
  }
  {
    auto fd = open_path(path, O_RDONLY);
    if (!fd) return std::unexpected(WalError::io(std::move(fd.error())));
    struct stat st;
    if (::fstat(fd->get(), &st) != 0) return std::unexpected(WalError::io(IoError::last_os()));
    auto size = static_cast<uint64_t>(st.st_size);
    if (size > max_total_bytes) {
      return std::unexpected(WalError::io(limit_error("WAL byte size", size, max_total_bytes)));
    }
  }

  auto fd = open_path(path, O_RDONLY);
  if (!fd) return std::unexpected(WalError::io(std::move(fd.error())));
  auto log = read_replay_log(fd->get(), key, max_entries);
  fd->close();
  if (!log) return std::unexpected(std::move(log.error()));
  if (log->count > max_entries) {
    return std::unexpected(WalError::io(limit_error("WAL entry count", log->count, max_entries)));
  }
  const std::vector<RecordWalEntry>& kept = log->kept;

  std::string digest_hex = snapshot_fingerprint(snapshot);
  std::vector<WalReplayVerdict> verdicts;
  verdicts.reserve(kept.size());
  for (const RecordWalEntry& entry : kept) {
    auto v = audit_entry(entry, snapshot, digest_hex);
    if (!v) return std::unexpected(std::move(v.error()));
    verdicts.push_back(*v);
  }
  return verdicts;
}

}  // namespace morvatel::wal
