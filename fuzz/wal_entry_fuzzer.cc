// Feeds arbitrary bytes to the log's entry readers as one line. Beyond "no
// crash, no sanitizer report", it checks what the chain depends on: every
// line the strict record reader accepts is accepted by the raw reader the
// chain uses, and a record written again and put on a line reads back, by
// both readers, to the same bytes. The one-pass reading of a line (the
// replay's with its record, recovery planning's with a generic value) gives
// what reading it twice (the chain walk's way, then decoded) gives: the same entry or the same error text, and the same head; the
// bytes are tried both as a line and as the `data` of a line whose hash
// holds, so that record faults are reached behind the chain tests.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_check.h"
#include "text.h"

#include "json/writer.h"
#include "json/record.h"
#include "wal/chain.h"
#include "wal/replay.h"
#include "../tests/cpp/wal_two_pass.h"

namespace morvatel::wal {
namespace {

using fuzzing::check;

std::string record_text(const AuditedRecord& record) {
  std::string out;
  json::StringSink sink(out);
  check(write_record(sink, record).has_value());
  return out;
}

using testing::one_pass;
using testing::replay_pass;
using testing::two_pass;

void same_as_two_pass(std::string_view line) {
  ChainCursor a(std::nullopt);
  ChainCursor b(std::nullopt);
  check(two_pass<AuditedRecord>(a, line) == replay_pass(b, line));
  ChainCursor c(std::nullopt);
  ChainCursor d(std::nullopt);
  check(two_pass<json::Value>(c, line) == one_pass<json::Value>(d, line));
}

void one_input(std::string_view line) {
  same_as_two_pass(line);
  same_as_two_pass(
      format_line(1, "genesis", compute_hash("genesis", line, std::nullopt).value(), line));

  auto raw = parse_raw_entry(line);
  if (raw) {
    check(compute_hash(raw->previous_hash, raw->data.text, std::nullopt).has_value());
  }
  auto entry = parse_record_entry(line);
  if (!entry) return;
  check(raw.has_value());
  std::string text = record_text(entry->data);
  std::string again = format_line(entry->sequence, "genesis", std::string(64, '0'), text);
  auto back = parse_record_entry(again);
  check(back.has_value());
  check(record_text(back->data) == text);
  auto back_raw = parse_raw_entry(again);
  check(back_raw.has_value() && back_raw->data.text == text);
}

}  // namespace
}  // namespace morvatel::wal

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  morvatel::wal::one_input(std::string_view(reinterpret_cast<const char*>(data), size));
  return 0;
}
