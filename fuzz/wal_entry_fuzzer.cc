// Feeds arbitrary bytes to the log's entry readers as one line. Beyond "no
// crash, no sanitizer report", it checks what the chain depends on: every
// line the strict record reader accepts is accepted by the raw reader the
// chain uses, and a record written again and put on a line reads back, by
// both readers, to the same bytes.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "json/writer.h"
#include "wal/format.h"

namespace morvatel::wal {
namespace {

void check(bool ok) {
  if (!ok) std::abort();
}

std::string record_text(const AuditedRecord& record) {
  std::string out;
  json::StringSink sink(out);
  check(write_record(sink, record).has_value());
  return out;
}

void one_input(std::string_view line) {
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
