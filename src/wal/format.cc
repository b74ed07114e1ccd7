#include "wal/format.h"

#include "digest.h"
#include "key_length.h"
#include "text.h"

namespace morvatel::wal {

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

std::optional<IoError> key_fault(WalKey key) {
  if (!key) return std::nullopt;
  auto fault = key_length_fault(KeyRole::WalHmacKey, key->size());
  if (!fault) return std::nullopt;
  return IoError::custom(IoErrorKind::InvalidInput, std::move(*fault));
}

IoError sequence_overflow_error() {
  return IoError::custom(IoErrorKind::InvalidData, "WAL sequence overflow");
}

ChainHasher::ChainHasher(WalKey key) {
  if (key) mac_.emplace(std::span(reinterpret_cast<const uint8_t*>(key->data()), key->size()));
}

ChainHasher::ChainHasher(const ChainHasher& o) {
  if (o.mac_) mac_.emplace(o.mac_->copy());
}

Digest32 ChainHasher::digest(std::string_view previous_hash, std::string_view data) {
  if (mac_) {
    // A copy of the keyed MAC that nothing has been fed: starting the same
    // context again without a key is not sound on every libcrypto 3.0.x.
    HmacSha256 mac = mac_->copy();
    mac.update(previous_hash);
    mac.update(data);
    return mac.finish();
  }
  sha_.reset();
  sha_.update(previous_hash);
  sha_.update(data);
  return sha_.finish();
}

std::expected<std::string, IoError> compute_hash(std::string_view previous_hash,
                                                 std::string_view data, WalKey key) {
  if (auto fault = key_fault(key)) return std::unexpected(std::move(*fault));
  return bytes_to_hex(ChainHasher(key).digest(previous_hash, data));
}

}  // namespace morvatel::wal
