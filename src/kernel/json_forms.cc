#include "kernel/json_forms.h"

#include <array>

namespace morvatel {

namespace {

template <typename R, size_t N>
std::array<json::FieldSpec, N> table_of() {
  static const R probe{};
  std::array<json::FieldSpec, N> fields{};
  size_t i = 0;
  for_each_field(probe, [&](std::string_view name, const auto& member) {
    fields[i++] = json::field_at(probe, member, name);
  });
  return fields;
}

template <typename E, size_t N>
std::array<std::string_view, N> variant_names(const E (&all)[N]) {
  std::array<std::string_view, N> names{};
  for (size_t i = 0; i < N; ++i) names[i] = variant_name(all[i]);
  return names;
}

}  // namespace

const json::RecordSpec& json_record_spec(const KernelInput*) {
  static const auto fields = table_of<KernelInput, kKernelInputFields>();
  static const json::RecordSpec spec{"KernelInput", fields};
  return spec;
}

const json::RecordSpec& json_record_spec(const KernelDecision*) {
  static const auto fields = table_of<KernelDecision, kKernelDecisionFields>();
  static const json::RecordSpec spec{"KernelDecision", fields};
  return spec;
}

std::string to_json(const KernelInput& input) { return json::to_string(input); }
std::string to_json(const KernelDecision& decision) { return json::to_string(decision); }

}  // namespace morvatel

namespace morvatel::json {

Result<void> Codec<KernelAction>::read(Reader& r, KernelAction& out) {
  static const auto names = variant_names(kAllActions);
  auto i = r.read_variant(names.data(), names.size());
  if (!i) return std::unexpected(std::move(i.error()));
  out = kAllActions[*i];
  return {};
}

void Codec<KernelAction>::write(Writer& w, const KernelAction& v) { w.string(variant_name(v)); }

Result<void> Codec<KernelReason>::read(Reader& r, KernelReason& out) {
  static const auto names = variant_names(kAllReasons);
  auto i = r.read_variant(names.data(), names.size());
  if (!i) return std::unexpected(std::move(i.error()));
  out = kAllReasons[*i];
  return {};
}

void Codec<KernelReason>::write(Writer& w, const KernelReason& v) { w.string(variant_name(v)); }

}  // namespace morvatel::json
