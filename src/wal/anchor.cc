#include "wal/anchor.h"

#include "json_artifact.h"
#include "text.h"

namespace morvatel::wal {

const json::RecordSpec& json_record_spec(const WalAnchor*) {
  static const json::FieldSpec kFields[] = {
      json::field(&WalAnchor::schema_version, "schema_version"),
      json::field(&WalAnchor::sequence, "sequence"),
      json::field(&WalAnchor::last_hash, "last_hash"),
      json::field(&WalAnchor::keyed, "keyed"),
  };
  static const json::RecordSpec kSpec{"WalAnchor", kFields};
  return kSpec;
}

std::expected<WalHead, WalError> verify_head(const WalAnchor& anchor, uint64_t sequence,
                                             std::string last_hash, bool keyed) {
  if (anchor.schema_version != kAnchorSchemaVersion) {
    return std::unexpected(WalError::io(IoError::custom(
        IoErrorKind::InvalidData, str_cat("unknown WAL anchor schema: ", anchor.schema_version))));
  }
  if (anchor.keyed != keyed) {
    return std::unexpected(WalError::io(IoError::custom(
        IoErrorKind::InvalidInput, "WAL anchor keyed mode does not match verifier mode")));
  }
  if (anchor.sequence != sequence || anchor.last_hash != last_hash) {
    return std::unexpected(WalError::io(IoError::custom(
        IoErrorKind::InvalidData,
        str_cat("WAL anchor mismatch: expected sequence ", anchor.sequence, " hash ",
                anchor.last_hash, ", found sequence ", sequence, " hash ", last_hash))));
  }
  return WalHead{sequence, anchor.last_hash};
}

std::expected<void, PersistenceError> save_anchor(std::string_view path, const WalAnchor& anchor,
                                                  BlockingHook* hook) {
  return save_json_artifact(path, anchor, hook);
}

std::expected<WalAnchor, PersistenceError> load_anchor(std::string_view path) {
  return load_json_artifact<WalAnchor>(path);
}

}  // namespace morvatel::wal
