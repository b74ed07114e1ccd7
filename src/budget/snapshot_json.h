#ifndef MORVATEL_BUDGET_SNAPSHOT_JSON_H_
#define MORVATEL_BUDGET_SNAPSHOT_JSON_H_

// The JSON form of a captured ledger: the record tables from which the
// snapshot file's strict reader and its writer are made. Keys follow the
// records' declaration order; a snapshot's watermark is always written (null
// when absent), may be missing or null in the object form, and may be left
// off the end of the array form.

#include "budget/ledger.h"
#include "json/record.h"

namespace morvatel::budget {

const json::RecordSpec& json_record_spec(const TenantLedger*);
const json::RecordSpec& json_record_spec(const BudgetSnapshot*);

}  // namespace morvatel::budget

#endif  // MORVATEL_BUDGET_SNAPSHOT_JSON_H_
