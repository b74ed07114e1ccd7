#include "wal/chain.h"

#include "crypto.h"
#include "text.h"

namespace morvatel::wal {

std::expected<void, WalError> ChainCursor::accept(uint64_t sequence, std::string_view previous_hash,
                                                  std::string_view entry_hash,
                                                  std::string_view data) {
  if (sequence != expected_sequence_) {
    return std::unexpected(WalError::sequence_continuity(sequence));
  }
  if (previous_hash != head_.last_hash) {
    return std::unexpected(
        WalError::chain_broken(expected_sequence_, head_.last_hash, std::string(previous_hash)));
  }
  if (auto fault = key_fault(key_)) return std::unexpected(WalError::io(std::move(*fault)));
  const Digest32 digest = hasher_.digest(previous_hash, data);
  char hex[64];
  hex_into(digest.data(), digest.size(), hex);
  const std::string_view hash(hex, sizeof hex);
  if (!constant_time_equal(hash, entry_hash)) {
    // A MAC computed over the bytes found is exactly the value a forger
    // needs to make an edited line pass: only a plain hash, which anyone
    // can compute, may be shown.
    std::string expected = key_ ? std::string(kWithheldHash) : std::string(hash);
    return std::unexpected(
        WalError::chain_broken(expected_sequence_, std::move(expected), std::string(entry_hash)));
  }
  head_.last_hash.assign(entry_hash);
  head_.sequence = sequence;
  if (sequence == UINT64_MAX) return std::unexpected(WalError::io(sequence_overflow_error()));
  ++expected_sequence_;
  return {};
}

std::expected<WalHead, WalError> walk_chain(int fd, WalKey key, const EntryVisitor& visit) {
  ChainCursor chain(key);
  // One entry read into again and again: every member is required, so a
  // read that succeeds has set them all, and the hashes' storage is reused.
  RawWalEntry entry;
  auto walked = for_each_line(fd, [&](std::string_view line) -> std::expected<void, WalError> {
    if (auto read = json::parse_into(line, entry); !read) {
      return std::unexpected(WalError::json(std::move(read.error())));
    }
    if (auto r = chain.accept(entry.sequence, entry.previous_hash, entry.entry_hash,
                              entry.data.text);
        !r) {
      return r;
    }
    if (visit) return visit(line, entry);
    return {};
  });
  if (!walked) return std::unexpected(std::move(walked.error()));
  return std::move(chain).head();
}

std::expected<UniqueFd, WalError> open_log_to_check(std::string_view path, WalKey key,
                                                    uint64_t* size) {
  if (auto fault = key_fault(key)) return std::unexpected(WalError::io(std::move(*fault)));
  return open_log_for_reading(path, size);
}

std::expected<WalHead, WalError> validate_chain_inner(std::string_view path, WalKey key,
                                                      const EntryVisitor& visit) {
  auto fd = open_log_to_check(path, key);
  if (!fd) return std::unexpected(std::move(fd.error()));
  return walk_chain(fd->get(), key, visit);
}

std::expected<WalHead, WalError> validate_value_chain(std::string_view path, WalKey key) {
  auto fd = open_log_to_check(path, key);
  if (!fd) return std::unexpected(std::move(fd.error()));
  return walk_decoded_chain<json::Value>(
      fd->get(), key, [](const ValueTextEntry&) -> std::expected<void, WalError> { return {}; });
}

}  // namespace morvatel::wal
