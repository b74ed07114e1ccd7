#ifndef MORVATEL_AUDIT_JSON_H_
#define MORVATEL_AUDIT_JSON_H_

// The JSON form of an audit bundle, as each log record stores it in its
// `audit` member: an object with the ten members in declaration order,
// written compactly. Reading is strict (object form with exactly the ten
// keys in any order, or the ten-element array form) but checks no
// contents: a bundle with any schema text, a false replay verdict or a
// malformed digest is read as it stands, and only the canonical check
// (validate_audit_bundle) refuses it.

#include <string>

#include "json/record.h"
#include "verify.h"

namespace morvatel {

// The record table; with it AuditBundle is a field type of other records
// (json::field(&AuditedRecord::audit, "audit")).
const json::RecordSpec& json_record_spec(const AuditBundle*);

std::string to_json(const AuditBundle& bundle);

// A whole document holding one bundle and nothing else.
json::Result<AuditBundle> parse_audit_bundle(std::string_view text);

}  // namespace morvatel

#endif  // MORVATEL_AUDIT_JSON_H_
