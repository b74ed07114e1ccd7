#ifndef MORVATEL_RECEIPT_JSON_H_
#define MORVATEL_RECEIPT_JSON_H_

// The JSON form of a decision receipt, the artefact its holder hands to a
// verifier: one object with the receipt's fields in declaration order, the
// optional anchors and signature block left out when absent (never written
// as null), written compactly. Reading is strict (object form in any key
// order, or the array form with every field in its place, null for an
// absent optional) and checks no contents: a receipt read back is examined
// only by the verification or signing that depends on a field.

#include <string>
#include <string_view>

#include "json/record.h"
#include "json/value.h"
#include "receipt.h"

namespace morvatel {

// Record tables; nested ones first, as the tables that use them need.
const json::RecordSpec& json_record_spec(const ReceiptState*);
const json::RecordSpec& json_record_spec(const ReceiptWal*);
const json::RecordSpec& json_record_spec(const ReceiptSignature*);
const json::RecordSpec& json_record_spec(const DecisionReceipt*);

std::string receipt_to_json(const DecisionReceipt& receipt);

// The same object as an in-memory value (same keys, same order).
json::Value receipt_to_value(const DecisionReceipt& receipt);

// A whole document holding one receipt and nothing else.
json::Result<DecisionReceipt> parse_receipt(std::string_view text);

}  // namespace morvatel

#endif  // MORVATEL_RECEIPT_JSON_H_
