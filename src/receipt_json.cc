#include "receipt_json.h"

namespace morvatel {

namespace {

constexpr uint8_t kOmitted = json::kOmitWhenAbsent;

}  // namespace

const json::RecordSpec& json_record_spec(const ReceiptState*) {
  static const json::FieldSpec fields[] = {
      json::field(&ReceiptState::step, "step"),
      json::field(&ReceiptState::state_digest_before_hex, "state_digest_before_hex"),
      json::field(&ReceiptState::state_digest_after_hex, "state_digest_after_hex"),
  };
  static const json::RecordSpec spec{"ReceiptState", fields};
  return spec;
}

const json::RecordSpec& json_record_spec(const ReceiptWal*) {
  static const json::FieldSpec fields[] = {
      json::field(&ReceiptWal::sequence, "sequence"),
      json::field(&ReceiptWal::entry_hash, "entry_hash"),
  };
  static const json::RecordSpec spec{"ReceiptWal", fields};
  return spec;
}

const json::RecordSpec& json_record_spec(const ReceiptSignature*) {
  static const json::FieldSpec fields[] = {
      json::field(&ReceiptSignature::signer_id, "signer_id"),
      json::field(&ReceiptSignature::signed_at_epoch_ms, "signed_at_epoch_ms"),
      json::field(&ReceiptSignature::public_key_hex, "public_key_hex"),
      json::field(&ReceiptSignature::signature_hex, "signature_hex"),
  };
  static const json::RecordSpec spec{"ReceiptSignature", fields};
  return spec;
}

const json::RecordSpec& json_record_spec(const DecisionReceipt*) {
  static const json::FieldSpec fields[] = {
      json::field(&DecisionReceipt::schema_version, "schema_version"),
      json::field(&DecisionReceipt::policy_epoch, "policy_epoch"),
      json::field(&DecisionReceipt::catalog_epoch, "catalog_epoch"),
      json::field(&DecisionReceipt::policy_digest_hex, "policy_digest_hex"),
      json::field(&DecisionReceipt::input_digest_hex, "input_digest_hex"),
      json::field(&DecisionReceipt::decision_digest_hex, "decision_digest_hex"),
      json::field(&DecisionReceipt::replay_valid, "replay_valid"),
      json::field(&DecisionReceipt::state, "state", kOmitted),
      json::field(&DecisionReceipt::wal, "wal", kOmitted),
      json::field(&DecisionReceipt::claims_digest_hex, "claims_digest_hex"),
      json::field(&DecisionReceipt::signature, "signature", kOmitted),
  };
  static const json::RecordSpec spec{"DecisionReceipt", fields};
  return spec;
}

std::string receipt_to_json(const DecisionReceipt& receipt) { return json::to_string(receipt); }

json::Value receipt_to_value(const DecisionReceipt& r) {
  json::Object o;
  o.reserve(11);
  o.set("schema_version", r.schema_version);
  o.set("policy_epoch", r.policy_epoch);
  o.set("catalog_epoch", r.catalog_epoch);
  o.set("policy_digest_hex", r.policy_digest_hex);
  o.set("input_digest_hex", r.input_digest_hex);
  o.set("decision_digest_hex", r.decision_digest_hex);
  o.set("replay_valid", r.replay_valid);
  if (r.state) {
    json::Object s;
    s.set("step", r.state->step);
    s.set("state_digest_before_hex", r.state->state_digest_before_hex);
    s.set("state_digest_after_hex", r.state->state_digest_after_hex);
    o.set("state", std::move(s));
  }
  if (r.wal) {
    json::Object w;
    w.set("sequence", r.wal->sequence);
    w.set("entry_hash", r.wal->entry_hash);
    o.set("wal", std::move(w));
  }
  o.set("claims_digest_hex", r.claims_digest_hex);
  if (r.signature) {
    json::Object s;
    s.set("signer_id", r.signature->signer_id);
    s.set("signed_at_epoch_ms", r.signature->signed_at_epoch_ms);
    s.set("public_key_hex", r.signature->public_key_hex);
    s.set("signature_hex", r.signature->signature_hex);
    o.set("signature", std::move(s));
  }
  return json::Value(std::move(o));
}

json::Result<DecisionReceipt> parse_receipt(std::string_view text) {
  return json::parse<DecisionReceipt>(text);
}

}  // namespace morvatel
