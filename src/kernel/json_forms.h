#ifndef MORVATEL_KERNEL_JSON_FORMS_H_
#define MORVATEL_KERNEL_JSON_FORMS_H_

// The JSON forms of KernelInput and KernelDecision, as the audited log
// stores them: objects with the 13 members in declaration order, integers in
// plain decimal, action and reason as their enumerator names. Reading is
// strict: object form in any key order or the 13-element array form; every
// integer exactly within its field's width (the basis-point bounds of the
// request check are not part of the form); action and reason only as
// enumerator names (or {"Name": null}), never as codes or snake_case texts.

#include <string>

#include "json/record.h"
#include "kernel/records.h"

namespace morvatel {

// The record tables; with them KernelInput and KernelDecision are field
// types of other records (json::field(&AuditedRecord::input, "input")).
const json::RecordSpec& json_record_spec(const KernelInput*);
const json::RecordSpec& json_record_spec(const KernelDecision*);

std::string to_json(const KernelInput& input);
std::string to_json(const KernelDecision& decision);

}  // namespace morvatel

namespace morvatel::json {

template <>
struct Codec<KernelAction> {
  static Result<void> read(Reader& r, KernelAction& out);
  static void write(Writer& w, const KernelAction& v);
};

template <>
struct Codec<KernelReason> {
  static Result<void> read(Reader& r, KernelReason& out);
  static void write(Writer& w, const KernelReason& v);
};

}  // namespace morvatel::json

#endif  // MORVATEL_KERNEL_JSON_FORMS_H_
