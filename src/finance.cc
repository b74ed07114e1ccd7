#include "finance.h"

#include <algorithm>
#include <string_view>
#include <vector>

namespace morvatel {

namespace {

constexpr char kLedgerTag[] = "morvldg1";
constexpr char kWatermarkTag[] = "morvatel.ledger.wal-watermark.v1";

}  // namespace

Digest32 ledger_digest(const budget::BudgetSnapshot& snapshot) {
  // Sort references, not copies: a capture may hold many tenants.
  std::vector<const budget::TenantLedger*> rows;
  rows.reserve(snapshot.tenants.size());
  for (const auto& row : snapshot.tenants) rows.push_back(&row);
  // Byte order of the ids (std::string compares as unsigned bytes, a proper
  // prefix first); equal ids keep their order in the snapshot, since the
  // pointers into one vector ascend with it.
  std::sort(rows.begin(), rows.end(), [](const auto* a, const auto* b) {
    int c = a->tenant_id.compare(b->tenant_id);
    return c < 0 || (c == 0 && a < b);
  });

  Sha256 h;
  h.update(std::string_view(kLedgerTag, sizeof kLedgerTag - 1));
  h.update_le<uint8_t>(0);
  h.update_le<uint64_t>(snapshot.version);
  h.update_le<uint64_t>(rows.size());
  h.update_le<uint64_t>(snapshot.active_reservations);
  for (const auto* row : rows) {
    h.update_le<uint32_t>(static_cast<uint32_t>(row->tenant_id.size()));
    h.update(row->tenant_id);
    h.update_le<int64_t>(row->initial_microcents);
    h.update_le<int64_t>(row->remaining_microcents);
    h.update_le<int64_t>(row->reserved_microcents);
    h.update_le<int64_t>(row->committed_microcents);
  }
  if (snapshot.wal_high_watermark) {
    h.update(std::string_view(kWatermarkTag, sizeof kWatermarkTag - 1));
    h.update_le<uint8_t>(0);
    h.update_le<uint64_t>(*snapshot.wal_high_watermark);
  }
  return h.finish();
}

}  // namespace morvatel
