#ifndef MORVATEL_PROVENANCE_H_
#define MORVATEL_PROVENANCE_H_

// Signed policies: a policy author signs the digest of a snapshot with an
// Ed25519 key, and whoever runs decisions under a snapshot later checks,
// against a public key pinned in advance, that this exact policy was signed
// by that key. No key is stored: the caller passes the seed or the trusted
// key for each call.

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <vector>

#include "crypto.h"
#include "json/record.h"
#include "json/value.h"
#include "kernel/policy.h"

namespace morvatel::provenance {

// Five fields in declaration order, which is also the order of the JSON
// object, of its array form and of the dict.
struct SignedPolicy {
  std::string policy_digest_hex;  // 64 lowercase hex characters when made here
  std::string signer_id;          // any text, also empty
  uint64_t signed_at_epoch_ms = 0;
  std::string public_key_hex;  // 64 lowercase hex characters when made here
  std::string signature_hex;   // 128 lowercase hex characters when made here
};

// The fixed part of the signing message; the signer id follows it.
inline constexpr size_t kSigningMessageHeaderBytes = 49;

// The exact bytes that are signed and verified:
//   "morvsig1", 0x00, the policy digest (32 bytes), signed_at_epoch_ms
//   (uint64_t, little-endian), then the signer id's UTF-8 bytes. The signer
//   id is last, so it needs no length prefix: nothing can be shifted across
//   its end.
std::vector<uint8_t> signing_message(const Digest32& policy_digest, uint64_t signed_at_epoch_ms,
                                     std::string_view signer_id);

// A failed verification. Each kind owns its text.
struct ProvenanceError {
  enum class Kind : uint8_t {
    PolicyDigestMismatch,  // artifact_hex, snapshot_hex
    Malformed,             // field, reason
    SignatureInvalid,
    UntrustedKey,
  };

  Kind kind = Kind::SignatureInvalid;
  std::string artifact_hex;
  std::string snapshot_hex;
  std::string field;
  std::string reason;

  static ProvenanceError policy_digest_mismatch(std::string artifact_hex, std::string snapshot_hex);
  static ProvenanceError malformed(std::string field, std::string reason);
  static ProvenanceError signature_invalid();
  static ProvenanceError untrusted_key();

  std::string message() const;
};

// Signs the snapshot's policy digest, the time and the signer id. Signing
// cannot fail; the seed stays inside `key`, which wipes it when destroyed.
SignedPolicy sign_policy(const PolicySnapshot& snapshot, const Ed25519KeyPair& key,
                         std::string_view signer_id, uint64_t signed_at_epoch_ms);

// Checks, in this order, that the record names the pinned key, that it signs
// this snapshot's digest, that its signature is 128 lowercase hex
// characters, and that the signature verifies. The key comes first: a record
// from an untrusted signer says nothing worth comparing about the policy.
std::expected<void, ProvenanceError> verify(const SignedPolicy& record,
                                            const PolicySnapshot& snapshot,
                                            const Ed25519VerifyingKey& trusted);

// --- JSON form ---------------------------------------------------------------

const json::RecordSpec& json_record_spec(const SignedPolicy*);

// One compact object, keys in declaration order, no trailing newline.
json::Result<std::string> to_json(const SignedPolicy& record);

// The same object as a generic value (for the dict form).
json::Value to_value(const SignedPolicy& record);

// Strict reader of a whole document: object form (any key order; unknown,
// repeated or missing keys refused) or five-element array form. Contents
// are not checked here; only verify looks at the hex forms.
json::Result<SignedPolicy> parse_signed_policy(std::string_view text);

}  // namespace morvatel::provenance

#endif  // MORVATEL_PROVENANCE_H_
