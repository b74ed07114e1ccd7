// Feeds arbitrary text to the snapshot file's decoder (what load_snapshot
// applies to the bytes it reads). Beyond "no crash, no sanitizer report":
// an accepted snapshot written again in the file's layout reads back equal;
// one that passes the trust checks restores into an engine whose capture
// holds the same rows, no reservation and balanced ledgers.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_check.h"
#include "budget/engine.h"
#include "budget/ledger.h"
#include "budget/snapshot_json.h"
#include "json/record.h"
#include "json/value.h"
#include "json/writer.h"
#include "persistence.h"

namespace {

using namespace morvatel;
using budget::BudgetSnapshot;
using budget::TenantLedger;
using fuzzing::check;

std::vector<TenantLedger> sorted_rows(std::vector<TenantLedger> rows) {
  std::sort(rows.begin(), rows.end(),
            [](const TenantLedger& a, const TenantLedger& b) { return a.tenant_id < b.tenant_id; });
  return rows;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  auto snapshot = json::parse<BudgetSnapshot>(text);
  if (!snapshot) {
    check(!snapshot.error().message().empty());
    return 0;
  }

  const std::string written = json::to_string(*snapshot, json::Layout::Indented);
  auto again = json::parse<BudgetSnapshot>(written);
  check(again.has_value() && *again == *snapshot);
  check(json::to_string(*again, json::Layout::Indented) == written);
  // The generic value form carries the same document.
  auto as_value = json::parse_value(written);
  check(as_value.has_value() &&
        json::to_compact(*as_value) == json::to_compact(snapshot_json_value(*snapshot)));

  if (!check_recovery_aware_version(*snapshot)) return 0;
  if (!budget::validate_snapshot_ledger(*snapshot)) return 0;
  budget::BudgetEngine engine;
  engine.restore(*snapshot);
  check(engine.tenant_count() == snapshot->tenants.size());
  check(engine.active_reservations() == 0);
  auto capture = engine.try_snapshot();
  if (!capture) return 0;  // the restored allocator may have had no value left
  check(sorted_rows(capture->tenants) == sorted_rows(snapshot->tenants));
  check(capture->active_reservations == 0);
  check(budget::conservation_status(capture->tenants).is_balanced());
  return 0;
}
