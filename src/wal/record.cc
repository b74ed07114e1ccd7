#include "wal/record.h"

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

}  // namespace morvatel::wal
