// Feeds arbitrary text to the log anchor file's decoder (what load_anchor
// applies to the bytes it reads), and every accepted anchor to verify_head.
// Beyond "no crash, no sanitizer report": an accepted anchor written again
// reads back equal, and verify_head accepts exactly the anchor's own head in
// its own mode under the current schema tag, checking tag, mode and head in
// that order.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_check.h"
#include "json/record.h"
#include "json/writer.h"
#include "wal/anchor.h"

namespace {

using namespace morvatel;
using fuzzing::check;
using namespace morvatel::wal;

IoErrorKind io_kind(const std::expected<WalHead, WalError>& r) {
  check(!r.has_value() && r.error().kind() == WalError::Kind::Io);
  return r.error().io_error().kind();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  auto anchor = json::parse<WalAnchor>(text);
  if (!anchor) {
    check(!anchor.error().message().empty());
    return 0;
  }
  const std::string written = json::to_string(*anchor, json::Layout::Indented);
  auto again = json::parse<WalAnchor>(written);
  check(again.has_value() && *again == *anchor);

  const bool known_tag = anchor->schema_version == kAnchorSchemaVersion;
  auto own = verify_head(*anchor, anchor->sequence, anchor->last_hash, anchor->keyed);
  check(own.has_value() == known_tag);
  if (!known_tag) {
    check(io_kind(own) == IoErrorKind::InvalidData);
    return 0;
  }
  check(own->sequence == anchor->sequence && own->last_hash == anchor->last_hash);
  // The mode is judged before the head.
  check(io_kind(verify_head(*anchor, anchor->sequence + 1, anchor->last_hash, !anchor->keyed)) ==
        IoErrorKind::InvalidInput);
  check(io_kind(verify_head(*anchor, anchor->sequence + 1, anchor->last_hash, anchor->keyed)) ==
        IoErrorKind::InvalidData);
  check(io_kind(verify_head(*anchor, anchor->sequence, anchor->last_hash + "0", anchor->keyed)) ==
        IoErrorKind::InvalidData);
  return 0;
}
