#include "budget/snapshot_json.h"

namespace morvatel::budget {

const json::RecordSpec& json_record_spec(const TenantLedger*) {
  static const json::FieldSpec kFields[] = {
      json::field(&TenantLedger::tenant_id, "tenant_id"),
      json::field(&TenantLedger::initial_microcents, "initial_microcents"),
      json::field(&TenantLedger::remaining_microcents, "remaining_microcents"),
      json::field(&TenantLedger::reserved_microcents, "reserved_microcents"),
      json::field(&TenantLedger::committed_microcents, "committed_microcents"),
  };
  static const json::RecordSpec kSpec{"TenantLedger", kFields};
  return kSpec;
}

const json::RecordSpec& json_record_spec(const BudgetSnapshot*) {
  static const json::FieldSpec kFields[] = {
      json::field(&BudgetSnapshot::version, "version"),
      json::field(&BudgetSnapshot::tenants, "tenants"),
      json::field(&BudgetSnapshot::active_reservations, "active_reservations"),
      // Snapshots written before the log existed have no watermark; their
      // array form simply stops after the third element.
      json::field(&BudgetSnapshot::wal_high_watermark, "wal_high_watermark",
                  json::kArrayTailDefault),
  };
  static const json::RecordSpec kSpec{"BudgetSnapshot", kFields};
  return kSpec;
}

}  // namespace morvatel::budget
