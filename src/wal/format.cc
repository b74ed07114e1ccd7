#include "wal/format.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>

#include "crypto.h"
#include "digest.h"
#include "fs.h"
#include "key_length.h"
#include "text.h"

namespace morvatel::wal {

const json::RecordSpec& json_record_spec(const AuditedRecord*) {
  static const json::FieldSpec kFields[] = {
      json::field(&AuditedRecord::audit, "audit"),
      json::field(&AuditedRecord::input, "input"),
      json::field(&AuditedRecord::decision, "decision"),
      json::field(&AuditedRecord::metadata, "metadata"),
  };
  static const json::RecordSpec kSpec{"AuditedRecord", kFields};
  return kSpec;
}

json::Result<RawWalEntry> parse_raw_entry(std::string_view line) {
  return json::parse<RawWalEntry>(line);
}

json::Result<RecordWalEntry> parse_record_entry(std::string_view line) {
  return json::parse<RecordWalEntry>(line);
}

json::Result<ValueWalEntry> parse_value_entry(std::string_view line) {
  return json::parse<ValueWalEntry>(line);
}

json::Result<void> write_record(json::Sink& sink, const AuditedRecord& record) {
  return json::write(sink, record, json::Layout::Compact);
}

std::string line_prefix(uint64_t sequence, std::string_view previous_hash,
                        std::string_view entry_hash) {
  // The hashes are "genesis" or hexadecimal and need no escaping.
  return str_cat("{\"sequence\":", sequence, ",\"previous_hash\":\"", previous_hash,
                 "\",\"entry_hash\":\"", entry_hash, "\",\"data\":");
}

std::string format_line(uint64_t sequence, std::string_view previous_hash,
                        std::string_view entry_hash, std::string_view record) {
  std::string line = line_prefix(sequence, previous_hash, entry_hash);
  line.append(record);
  line.append(kLineSuffix);
  return line;
}

IoError key_too_short_error(size_t len) {
  return IoError::custom(IoErrorKind::InvalidInput, *key_length_fault(KeyRole::WalHmacKey, len));
}

IoError sequence_overflow_error() {
  return IoError::custom(IoErrorKind::InvalidData, "WAL sequence overflow");
}

namespace {

}  // namespace

ChainHasher::ChainHasher(WalKey key) {
  if (key) mac_.emplace(std::span(reinterpret_cast<const uint8_t*>(key->data()), key->size()));
}

ChainHasher::ChainHasher(const ChainHasher& o) {
  if (o.mac_) mac_.emplace(o.mac_->copy());
}

Digest32 ChainHasher::digest(std::string_view previous_hash, std::string_view data) {
  if (mac_) {
    mac_->reset();
    mac_->update(previous_hash);
    mac_->update(data);
    return mac_->finish();
  }
  sha_.reset();
  sha_.update(previous_hash);
  sha_.update(data);
  return sha_.finish();
}

std::expected<std::string, IoError> compute_hash(std::string_view previous_hash,
                                                 std::string_view data, WalKey key) {
  if (key && key->size() < kMinHmacKeyBytes) return std::unexpected(key_too_short_error(key->size()));
  return bytes_to_hex(ChainHasher(key).digest(previous_hash, data));
}

std::expected<std::string_view, IoError> BufferedReader::fill() {
  if (pos_ == end_) {
    pos_ = end_ = 0;
    for (;;) {
      ssize_t n = ::read(fd_, buf_.data(), buf_.size());
      if (n < 0) {
        if (errno == EINTR) continue;
        return std::unexpected(IoError::last_os());
      }
      end_ = static_cast<size_t>(n);
      break;
    }
  }
  return std::string_view(buf_.data() + pos_, end_ - pos_);
}

std::expected<size_t, IoError> read_bounded_line(BufferedReader& reader, std::string& buffer) {
  buffer.clear();
  constexpr size_t kCap = kMaxLineBytes + 1;
  while (buffer.size() < kCap) {
    auto avail = reader.fill();
    if (!avail) return std::unexpected(std::move(avail.error()));
    if (avail->empty()) break;
    size_t take = std::min(avail->size(), kCap - buffer.size());
    const void* lf = ::memchr(avail->data(), '\n', take);
    if (lf != nullptr) take = static_cast<size_t>(static_cast<const char*>(lf) - avail->data()) + 1;
    buffer.append(avail->data(), take);
    reader.consume(take);
    if (lf != nullptr) break;
  }
  if (buffer.size() > kMaxLineBytes) {
    return std::unexpected(IoError::custom(
        IoErrorKind::InvalidData,
        str_cat("WAL entry exceeds ", kMaxLineBytes, " bytes: found ", buffer.size())));
  }
  return buffer.size();
}

std::expected<std::string_view, IoError> read_line_view(BufferedReader& reader,
                                                        std::string& spill) {
  auto avail = reader.fill();
  if (!avail) return std::unexpected(std::move(avail.error()));
  // Most lines lie whole in the buffer: hand them out where they are
  // rather than copying each one.
  if (const void* lf = ::memchr(avail->data(), '\n', avail->size())) {
    const size_t take = static_cast<size_t>(static_cast<const char*>(lf) - avail->data()) + 1;
    reader.consume(take);
    return avail->substr(0, take);
  }
  auto n = read_bounded_line(reader, spill);
  if (!n) return std::unexpected(std::move(n.error()));
  return std::string_view(spill);
}

bool is_blank_line(std::string_view line) {
  for (char c : line) {
    if (c != ' ' && c != '\t' && c != '\n' && c != '\f' && c != '\r') return false;
  }
  return true;
}

std::expected<void, WalError> ChainCursor::accept(uint64_t sequence,
                                                  std::string_view previous_hash,
                                                  std::string_view entry_hash,
                                                  std::string_view data) {
  if (sequence != expected_sequence_) {
    return std::unexpected(WalError::sequence_continuity(sequence));
  }
  if (previous_hash != head_.last_hash) {
    return std::unexpected(WalError::chain_broken(expected_sequence_, head_.last_hash,
                                                  std::string(previous_hash)));
  }
  if (key_ && key_->size() < kMinHmacKeyBytes) {
    return std::unexpected(WalError::io(key_too_short_error(key_->size())));
  }
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

std::expected<UniqueFd, WalError> open_log_for_reading(std::string_view path, uint64_t* size) {
  struct stat st;
  auto fd = open_regular(path, O_RDONLY, 0, &st);
  if (!fd) return std::unexpected(WalError::io(std::move(fd.error())));
  if (size != nullptr) *size = static_cast<uint64_t>(st.st_size);
  return std::move(*fd);
}

std::expected<void, WalError> for_each_line(
    int fd, const std::function<std::expected<void, WalError>(std::string_view line)>& on_line) {
  BufferedReader reader(fd);
  std::string spill;
  for (;;) {
    auto line = read_line_view(reader, spill);
    if (!line) return std::unexpected(WalError::io(std::move(line.error())));
    if (line->empty()) return {};
    if (is_blank_line(*line)) continue;
    if (auto r = on_line(*line); !r) return r;
  }
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

std::expected<WalHead, WalError> validate_chain_inner(std::string_view path, WalKey key,
                                                      const EntryVisitor& visit) {
  if (key && key->size() < kMinHmacKeyBytes) {
    return std::unexpected(WalError::io(key_too_short_error(key->size())));
  }
  auto fd = open_log_for_reading(path);
  if (!fd) return std::unexpected(std::move(fd.error()));
  return walk_chain(fd->get(), key, visit);
}

std::expected<WalHead, WalError> validate_value_chain(
    std::string_view path, WalKey key,
    const std::function<std::expected<void, WalError>(const ValueTextEntry& entry)>& visit) {
  if (key && key->size() < kMinHmacKeyBytes) {
    return std::unexpected(WalError::io(key_too_short_error(key->size())));
  }
  auto fd = open_log_for_reading(path);
  if (!fd) return std::unexpected(std::move(fd.error()));
  ChainCursor chain(key);
  ValueTextEntry entry;
  auto walked = for_each_line(fd->get(), [&](std::string_view line) -> std::expected<void, WalError> {
    if (auto r = read_decoded_line(chain, line, entry); !r) return r;
    return visit(entry);
  });
  if (!walked) return std::unexpected(std::move(walked.error()));
  return std::move(chain).head();
}

}  // namespace morvatel::wal
