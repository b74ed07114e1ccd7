#include "verify.h"

#include "digest.h"
#include "kernel/prescribe.h"
#include "text.h"

namespace morvatel {

namespace {

template <class... Ts>
struct Overloaded : Ts... {
  using Ts::operator()...;
};

// Every field by exact equality of its stored value: the defaulted
// comparison covers each member of the record, codes and sentinels included.
bool same_fields(const KernelDecision& a, const KernelDecision& b) { return a == b; }

VerifyResult compare(const KernelDecision& replay, const KernelDecision& decision) {
  if (!same_fields(replay, decision)) return {VerifyMismatch{replay, decision}};
  std::string expected = bytes_to_hex(decision_digest(replay));
  std::string actual = bytes_to_hex(decision_digest(decision));
  if (expected != actual) return {VerifyDigestMismatch{std::move(expected), std::move(actual)}};
  return {VerifyValid{}};
}

}  // namespace

std::string_view VerifyResult::status() const {
  return std::visit(Overloaded{
                        [](const VerifyValid&) { return std::string_view("valid"); },
                        [](const VerifyMismatch&) { return std::string_view("mismatch"); },
                        [](const VerifyDigestMismatch&) {
                          return std::string_view("digest_mismatch");
                        },
                    },
                    kind);
}

std::string VerifyResult::debug_string() const {
  return std::visit(Overloaded{
                        [](const VerifyValid&) { return std::string("Valid"); },
                        [](const VerifyMismatch& m) {
                          return str_cat("Mismatch { expected: ",
                                         morvatel::debug_string(m.expected),
                                         ", actual: ", morvatel::debug_string(m.actual), " }");
                        },
                        [](const VerifyDigestMismatch& m) {
                          return str_cat("DigestMismatch { expected_hex: \"", m.expected_hex,
                                         "\", actual_hex: \"", m.actual_hex, "\" }");
                        },
                    },
                    kind);
}

std::string VerifyError::message() const {
  return str_cat("VerifyError { result: ", result.debug_string(), " }");
}

VerifyResult verify_decision(const PolicySnapshot& snapshot, const KernelInput& input,
                             const KernelDecision& decision) {
  return compare(prescribe_inner(snapshot, input).decision, decision);
}

AuditBundle audit_bundle(const PolicySnapshot& snapshot, const KernelInput& input,
                         const KernelDecision& decision) {
  AuditBundle b;
  b.schema_version = kAuditSchemaVersion;
  b.digest_algorithm = kAuditDigestAlgorithm;
  b.proof_version = kProofVersion;
  b.policy_epoch = snapshot.policy_epoch();
  b.catalog_epoch = snapshot.catalog_epoch();
  b.created_by = kAuditCreatedBy;
  b.policy_digest_hex = bytes_to_hex(policy_digest(snapshot));
  b.input_digest_hex = bytes_to_hex(input_digest(input));
  b.decision_digest_hex = bytes_to_hex(decision_digest(decision));
  b.replay_valid = same_fields(prescribe_inner(snapshot, input).decision, decision);
  return b;
}

std::expected<AuditBundle, VerifyError> verified_audit_bundle(const PolicySnapshot& snapshot,
                                                              const KernelInput& input,
                                                              const KernelDecision& decision) {
  VerifyResult r = verify_decision(snapshot, input, decision);
  if (!r.valid()) return std::unexpected(VerifyError{std::move(r)});
  AuditBundle b = audit_bundle(snapshot, input, decision);
  // The second replay runs on the same immutable values; should it ever
  // disagree with the first, the bundle must not claim a valid replay.
  if (!b.replay_valid) {
    return std::unexpected(VerifyError{
        VerifyResult{VerifyMismatch{prescribe_inner(snapshot, input).decision, decision}}});
  }
  return b;
}

std::string AuditBundleValidationError::message() const {
  return std::visit(Overloaded{
                        [](const UnsupportedSchemaVersion& e) {
                          return str_cat("unsupported audit schema_version: ", e.found);
                        },
                        [](const UnsupportedDigestAlgorithm& e) {
                          return str_cat("unsupported audit digest_algorithm: ", e.found);
                        },
                        [](const UnsupportedProofVersion& e) {
                          return str_cat("unsupported audit proof_version: ", e.found);
                        },
                        [](const UnsupportedCreatedBy& e) {
                          return str_cat("unsupported audit created_by value: ", e.found);
                        },
                        [](const ReplayInvalid&) {
                          return std::string("persisted audit bundle carries replay_valid=false");
                        },
                        [](const MalformedDigestHex& e) {
                          return str_cat(e.field,
                                         " must be exactly 64 lowercase hexadecimal characters");
                        },
                    },
                    kind);
}

std::expected<void, AuditBundleValidationError> validate_audit_bundle(const AuditBundle& b) {
  using E = AuditBundleValidationError;
  if (b.schema_version != kAuditSchemaVersion) {
    return std::unexpected(E{UnsupportedSchemaVersion{b.schema_version}});
  }
  if (b.digest_algorithm != kAuditDigestAlgorithm) {
    return std::unexpected(E{UnsupportedDigestAlgorithm{b.digest_algorithm}});
  }
  if (b.proof_version != kProofVersion) {
    return std::unexpected(E{UnsupportedProofVersion{b.proof_version}});
  }
  if (b.created_by != kAuditCreatedBy)
    return std::unexpected(E{UnsupportedCreatedBy{b.created_by}});
  if (!b.replay_valid) return std::unexpected(E{ReplayInvalid{}});
  if (!is_lower_hex64(b.policy_digest_hex)) {
    return std::unexpected(E{MalformedDigestHex{"policy_digest_hex"}});
  }
  if (!is_lower_hex64(b.input_digest_hex)) {
    return std::unexpected(E{MalformedDigestHex{"input_digest_hex"}});
  }
  if (!is_lower_hex64(b.decision_digest_hex)) {
    return std::unexpected(E{MalformedDigestHex{"decision_digest_hex"}});
  }
  return {};
}

}  // namespace morvatel
