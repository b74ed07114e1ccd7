#include "audit_json.h"

#include <array>

namespace morvatel {

const json::RecordSpec& json_record_spec(const AuditBundle*) {
  static const auto fields = [] {
    static const AuditBundle probe{};
    std::array<json::FieldSpec, kAuditBundleFields> table{};
    size_t i = 0;
    for_each_field(probe, [&](std::string_view name, const auto& member) {
      table[i++] = json::field_at(probe, member, name);
    });
    return table;
  }();
  static const json::RecordSpec spec{"AuditBundle", fields};
  return spec;
}

std::string to_json(const AuditBundle& bundle) { return json::to_string(bundle); }

json::Result<AuditBundle> parse_audit_bundle(std::string_view text) {
  return json::parse<AuditBundle>(text);
}

}  // namespace morvatel
