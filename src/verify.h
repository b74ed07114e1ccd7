#ifndef MORVATEL_VERIFY_H_
#define MORVATEL_VERIFY_H_

// Decision verification: replaying the kernel on the policy and the request
// and comparing the result with a supplied decision, and the audit bundle
// that ties the three digests to that verdict.
//
// A decision is evidence only if anyone holding the policy and the request
// can recompute it, so everything here fails closed: a decision is called
// valid only when the replay reproduces every one of its fields and its
// digest.

#include <concepts>
#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>

#include "kernel/policy.h"
#include "kernel/records.h"

namespace morvatel {

// The outcome of a replay. Mismatch keeps both decisions so that a message
// can show where they part; DigestMismatch keeps both decision digests.
struct VerifyValid {
  bool operator==(const VerifyValid&) const = default;
};
struct VerifyMismatch {
  KernelDecision expected;  // the replayed decision
  KernelDecision actual;    // the supplied decision
  bool operator==(const VerifyMismatch&) const = default;
};
struct VerifyDigestMismatch {
  std::string expected_hex;  // digest of the replay
  std::string actual_hex;    // digest of the supplied decision
  bool operator==(const VerifyDigestMismatch&) const = default;
};

struct VerifyResult {
  std::variant<VerifyValid, VerifyMismatch, VerifyDigestMismatch> kind;

  bool valid() const { return std::holds_alternative<VerifyValid>(kind); }
  // "valid", "mismatch" or "digest_mismatch".
  std::string_view status() const;
  // "Valid", "Mismatch { expected: KernelDecision { .. }, actual: .. }" or
  // "DigestMismatch { expected_hex: \"..\", actual_hex: \"..\" }": the form
  // failure messages quote.
  std::string debug_string() const;

  bool operator==(const VerifyResult&) const = default;
};

// A replay that did not reproduce the decision.
struct VerifyError {
  VerifyResult result;

  // "VerifyError { result: <debug text of the result> }".
  std::string message() const;
};

// Replays the kernel and compares field by field, then by digest. The caller
// has applied validate_input to the request.
VerifyResult verify_decision(const PolicySnapshot& snapshot, const KernelInput& input,
                             const KernelDecision& decision);

inline constexpr std::string_view kAuditSchemaVersion = "morvatel.audit.v1";
inline constexpr std::string_view kAuditDigestAlgorithm = "sha256";
inline constexpr uint16_t kProofVersion = 1;
inline constexpr std::string_view kAuditCreatedBy = "morvatel";

// Ten fixed fields in declaration order, which is also the order of the
// dict, of the JSON object and of the JSON array form.
struct AuditBundle {
  std::string schema_version;
  std::string digest_algorithm;
  uint16_t proof_version = 0;
  uint64_t policy_epoch = 0;
  uint64_t catalog_epoch = 0;
  std::string created_by;
  std::string policy_digest_hex;
  std::string input_digest_hex;
  std::string decision_digest_hex;
  bool replay_valid = false;

  bool operator==(const AuditBundle&) const = default;
};

inline constexpr size_t kAuditBundleFields = 10;

// Calls f(name, field) for every field of a bundle, in declaration order.
template <typename B, typename F>
  requires std::same_as<std::remove_const_t<B>, AuditBundle>
constexpr void for_each_field(B& b, F&& f) {
  f("schema_version", b.schema_version);
  f("digest_algorithm", b.digest_algorithm);
  f("proof_version", b.proof_version);
  f("policy_epoch", b.policy_epoch);
  f("catalog_epoch", b.catalog_epoch);
  f("created_by", b.created_by);
  f("policy_digest_hex", b.policy_digest_hex);
  f("input_digest_hex", b.input_digest_hex);
  f("decision_digest_hex", b.decision_digest_hex);
  f("replay_valid", b.replay_valid);
}

// The bundle for a decision, whatever its replay verdict; never fails. The
// epochs are the snapshot's, not the decision's.
AuditBundle audit_bundle(const PolicySnapshot& snapshot, const KernelInput& input,
                         const KernelDecision& decision);

// The bundle only for a decision that replays; the kernel runs twice.
std::expected<AuditBundle, VerifyError> verified_audit_bundle(const PolicySnapshot& snapshot,
                                                              const KernelInput& input,
                                                              const KernelDecision& decision);

// Failures of the canonical check of a stored bundle.
struct UnsupportedSchemaVersion {
  std::string found;
};
struct UnsupportedDigestAlgorithm {
  std::string found;
};
struct UnsupportedProofVersion {
  uint16_t found;
};
struct UnsupportedCreatedBy {
  std::string found;
};
struct ReplayInvalid {};
struct MalformedDigestHex {
  std::string_view field;  // a fixed field name
};

struct AuditBundleValidationError {
  std::variant<UnsupportedSchemaVersion, UnsupportedDigestAlgorithm, UnsupportedProofVersion,
               UnsupportedCreatedBy, ReplayInvalid, MalformedDigestHex>
      kind;
  std::string message() const;
};

// The canonical check applied to bundles read back from the log: the fixed
// texts, a true replay verdict and three well-formed digest texts, in that
// order; the first failure is returned.
std::expected<void, AuditBundleValidationError> validate_audit_bundle(const AuditBundle& bundle);

}  // namespace morvatel

#endif  // MORVATEL_VERIFY_H_
