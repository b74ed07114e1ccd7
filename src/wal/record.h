#ifndef MORVATEL_WAL_RECORD_H_
#define MORVATEL_WAL_RECORD_H_

// What stands on one line of the audited log: the entry and the record in
// its `data`, with their strict JSON readers and the record's writer.

#include <cstdint>
#include <string>
#include <string_view>

#include "audit_json.h"
#include "json/record.h"
#include "kernel/json_forms.h"
#include "kernel/records.h"
#include "verify.h"

namespace morvatel::wal {

// The record of one entry.
struct AuditedRecord {
  AuditBundle audit;
  KernelInput input;
  KernelDecision decision;
  json::Value metadata;
};

const json::RecordSpec& json_record_spec(const AuditedRecord*);

// One line, with `data` in the form its reader needs: the exact text
// (json::RawView, for the chain), the record (replay), or a generic value.
template <typename Data>
struct WalEntryOf {
  uint64_t sequence = 0;
  std::string previous_hash;
  std::string entry_hash;
  Data data{};
};

using RawWalEntry = WalEntryOf<json::RawView>;
using RecordWalEntry = WalEntryOf<AuditedRecord>;
using ValueWalEntry = WalEntryOf<json::Value>;

template <typename Data>
const json::RecordSpec& json_record_spec(const WalEntryOf<Data>*) {
  using E = WalEntryOf<Data>;
  static const json::FieldSpec kFields[] = {
      json::field(&E::sequence, "sequence"),
      json::field(&E::previous_hash, "previous_hash"),
      json::field(&E::entry_hash, "entry_hash"),
      json::field(&E::data, "data"),
  };
  static const json::RecordSpec kSpec{"WalEntry", kFields};
  return kSpec;
}

// Strict entry readers over one line's bytes (the line feed may be left on).
// The raw form's views point into `line`, which must outlive it.
json::Result<RawWalEntry> parse_raw_entry(std::string_view line);
json::Result<RecordWalEntry> parse_record_entry(std::string_view line);
json::Result<ValueWalEntry> parse_value_entry(std::string_view line);

// The record written compactly, as it stands after "data":.
json::Result<void> write_record(json::Sink& sink, const AuditedRecord& record);

}  // namespace morvatel::wal

#endif  // MORVATEL_WAL_RECORD_H_
