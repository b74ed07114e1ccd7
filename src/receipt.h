#ifndef MORVATEL_RECEIPT_H_
#define MORVATEL_RECEIPT_H_

// Decision receipts: a self-contained statement that one decision was made
// for one request under one policy and replays, optionally tied to a state
// transition and to a log entry. Its claims are bound by one SHA-256 digest
// and it may carry an Ed25519 signature over that digest.
//
// A receipt read from JSON holds whatever its text held, so nothing here
// assumes an invariant of a receipt: every operation re-checks the fields it
// relies on, and the hex texts are decoded strictly (lowercase only) when a
// digest is computed over them.

#include <array>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "crypto.h"
#include "kernel/policy.h"
#include "kernel/records.h"
#include "state.h"

namespace morvatel {

inline constexpr std::string_view kReceiptSchemaVersion = "morvatel.receipt.v1";

// The log anchor: the entry that records the decision. Entries count from
// 1; the constructor of the Python class refuses 0, the claims digest too.
struct ReceiptWal {
  uint64_t sequence = 0;
  std::string entry_hash;
  bool operator==(const ReceiptWal&) const = default;
};

// The state anchor: the transition the decision caused.
struct ReceiptState {
  uint64_t step = 0;
  std::string state_digest_before_hex;
  std::string state_digest_after_hex;
  bool operator==(const ReceiptState&) const = default;
};

// The anchor of a transition, with no checks (a chain's transitions always
// have a step of 1 or more).
ReceiptState receipt_state_from_transition(const StateTransition& transition);

struct ReceiptSignature {
  std::string signer_id;
  uint64_t signed_at_epoch_ms = 0;
  std::string public_key_hex;
  std::string signature_hex;
  bool operator==(const ReceiptSignature&) const = default;
};

struct DecisionReceipt {
  std::string schema_version;
  uint64_t policy_epoch = 0;
  uint64_t catalog_epoch = 0;
  std::string policy_digest_hex;
  std::string input_digest_hex;
  std::string decision_digest_hex;
  bool replay_valid = false;
  std::optional<ReceiptState> state;
  std::optional<ReceiptWal> wal;
  std::string claims_digest_hex;  // over the fields above
  std::optional<ReceiptSignature> signature;  // over the claims digest
  bool operator==(const DecisionReceipt&) const = default;
};

struct ReceiptUnknownSchema {
  std::string found;
};
struct ReceiptReplayFlagFalse {};
struct ReceiptPolicyDigestMismatch {};
struct ReceiptInputDigestMismatch {};
struct ReceiptDecisionDigestMismatch {};
struct ReceiptReplayMismatch {};
struct ReceiptMalformed {
  std::string_view field;  // a fixed name
  std::string reason;
};
struct ReceiptClaimsDigestMismatch {};
struct ReceiptMissingSignature {};
struct ReceiptSignatureInvalid {};
struct ReceiptSignerMismatch {};
struct ReceiptWalAnchorMismatch {};
struct ReceiptStateAnchorMismatch {};

struct ReceiptError {
  std::variant<ReceiptUnknownSchema, ReceiptReplayFlagFalse, ReceiptPolicyDigestMismatch,
               ReceiptInputDigestMismatch, ReceiptDecisionDigestMismatch, ReceiptReplayMismatch,
               ReceiptMalformed, ReceiptClaimsDigestMismatch, ReceiptMissingSignature,
               ReceiptSignatureInvalid, ReceiptSignerMismatch, ReceiptWalAnchorMismatch,
               ReceiptStateAnchorMismatch>
      kind;
  std::string message() const;
};

template <typename T>
using ReceiptResult = std::expected<T, ReceiptError>;

// Exactly 2N lowercase hex characters, decoded; Malformed naming `field`
// with "expected {2N} hex chars, found {len}" or "invalid hex at offset {i}"
// (the first bad character, high nibble of a pair tested first).
template <size_t N>
ReceiptResult<std::array<uint8_t, N>> parse_hex(std::string_view field, std::string_view text);

extern template ReceiptResult<std::array<uint8_t, 32>> parse_hex<32>(std::string_view,
                                                                     std::string_view);
extern template ReceiptResult<std::array<uint8_t, 64>> parse_hex<64>(std::string_view,
                                                                     std::string_view);

// SHA-256 over this layout, integers little-endian, nothing between fields:
//   "morvrcp1", 0x00;
//   the length of schema_version (uint64_t), then its bytes;
//   policy_epoch, catalog_epoch (uint64_t each);
//   the policy, input and decision digests, decoded (32 bytes each);
//   replay_valid (uint8_t, 0 or 1);
//   the state anchor's presence byte (uint8_t, 0 or 1), and when present
//     step (uint64_t), the digests before and after, decoded (32 bytes each);
//   the log anchor's presence byte (uint8_t, 0 or 1), and when present
//     sequence (uint64_t), entry_hash decoded (32 bytes).
// Every field is checked before the first byte is hashed, in layout order;
// a zero step or sequence is refused before its digests are decoded.
ReceiptResult<Digest32> receipt_claims_digest(const DecisionReceipt& receipt);

// The bytes a receipt's signature covers, 49 plus the signer id's length:
// "morvrcs1", 0x00; the claims digest (32 bytes); signed_at_epoch_ms
// (uint64_t, little-endian); the signer id's UTF-8 bytes, which end the
// message and so carry no length.
std::string receipt_signing_message(const Digest32& claims_digest, uint64_t signed_at_epoch_ms,
                                    std::string_view signer_id);

// A new unsigned receipt for a decision that replays. The request has been
// checked by the caller; the anchors are copied unchanged and checked only
// by the claims digest.
ReceiptResult<DecisionReceipt> issue_receipt(const PolicySnapshot& snapshot,
                                             const KernelInput& input,
                                             const KernelDecision& decision,
                                             std::optional<ReceiptState> state,
                                             std::optional<ReceiptWal> wal);

// Signs the receipt's claims digest, replacing any earlier signature block.
// Refuses a receipt whose stored claims digest is not that of its fields;
// on failure the receipt is unchanged.
ReceiptResult<void> sign_receipt(DecisionReceipt& receipt, const Ed25519KeyPair& key,
                                 std::string_view signer_id, uint64_t signed_at_epoch_ms);

// The claims against a policy, request and decision; the signature is not
// read. The caller has checked the request.
ReceiptResult<void> verify_receipt(const DecisionReceipt& receipt, const PolicySnapshot& snapshot,
                                   const KernelInput& input, const KernelDecision& decision);

// The signature against a pinned key; the claims are not compared with any
// decision.
ReceiptResult<void> verify_receipt_signature(const DecisionReceipt& receipt,
                                             const Ed25519VerifyingKey& trusted);

// verify_receipt, then verify_receipt_signature: the same checks in the same
// order, with the claims digest computed once for both.
ReceiptResult<void> verify_receipt_and_signature(const DecisionReceipt& receipt,
                                                 const PolicySnapshot& snapshot,
                                                 const KernelInput& input,
                                                 const KernelDecision& decision,
                                                 const Ed25519VerifyingKey& trusted);

// Exact comparisons of an anchor (numbers equal, texts byte for byte); an
// absent anchor never matches.
ReceiptResult<void> verify_receipt_state(const DecisionReceipt& receipt,
                                         const ReceiptState& expected);
ReceiptResult<void> verify_receipt_wal(const DecisionReceipt& receipt, const ReceiptWal& expected);

}  // namespace morvatel

#endif  // MORVATEL_RECEIPT_H_
