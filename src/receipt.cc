#include "receipt.h"

#include "digest.h"
#include "text.h"
#include "verify.h"

namespace morvatel {

namespace {

template <typename K>
std::unexpected<ReceiptError> fail(K kind) {
  return std::unexpected(ReceiptError{std::move(kind)});
}

int nibble(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

std::string hex_of(std::span<const uint8_t> bytes) { return hex_lower(bytes.data(), bytes.size()); }

}  // namespace

ReceiptState receipt_state_from_transition(const StateTransition& transition) {
  return ReceiptState{transition.step, bytes_to_hex(transition.digest_before),
                      bytes_to_hex(transition.digest_after)};
}

std::string ReceiptError::message() const {
  struct Visitor {
    std::string operator()(const ReceiptUnknownSchema& e) const {
      return str_cat("unknown receipt schema: ", e.found);
    }
    std::string operator()(ReceiptReplayFlagFalse) const {
      return "receipt asserts replay_valid=false";
    }
    std::string operator()(ReceiptPolicyDigestMismatch) const { return "policy digest mismatch"; }
    std::string operator()(ReceiptInputDigestMismatch) const { return "input digest mismatch"; }
    std::string operator()(ReceiptDecisionDigestMismatch) const {
      return "decision digest mismatch";
    }
    std::string operator()(ReceiptReplayMismatch) const {
      return "decision does not replay under the disclosed policy";
    }
    std::string operator()(const ReceiptMalformed& e) const {
      return str_cat("malformed ", e.field, ": ", e.reason);
    }
    std::string operator()(ReceiptClaimsDigestMismatch) const {
      return "receipt claims digest mismatch";
    }
    std::string operator()(ReceiptMissingSignature) const { return "receipt has no signature"; }
    std::string operator()(ReceiptSignatureInvalid) const {
      return "receipt signature verification failed";
    }
    std::string operator()(ReceiptSignerMismatch) const {
      return "receipt signer does not match the trusted key";
    }
    std::string operator()(ReceiptWalAnchorMismatch) const { return "receipt WAL anchor mismatch"; }
    std::string operator()(ReceiptStateAnchorMismatch) const {
      return "receipt state anchor mismatch";
    }
  };
  return std::visit(Visitor{}, kind);
}

template <size_t N>
ReceiptResult<std::array<uint8_t, N>> parse_hex(std::string_view field, std::string_view text) {
  if (text.size() != 2 * N) {
    return fail(
        ReceiptMalformed{field, str_cat("expected ", 2 * N, " hex chars, found ", text.size())});
  }
  std::array<uint8_t, N> out{};
  for (size_t i = 0; i < N; ++i) {
    const int hi = nibble(text[2 * i]);
    if (hi < 0) return fail(ReceiptMalformed{field, str_cat("invalid hex at offset ", 2 * i)});
    const int lo = nibble(text[2 * i + 1]);
    if (lo < 0) {
      return fail(ReceiptMalformed{field, str_cat("invalid hex at offset ", 2 * i + 1)});
    }
    out[i] = static_cast<uint8_t>(hi << 4 | lo);
  }
  return out;
}

template ReceiptResult<std::array<uint8_t, 32>> parse_hex<32>(std::string_view, std::string_view);
template ReceiptResult<std::array<uint8_t, 64>> parse_hex<64>(std::string_view, std::string_view);

ReceiptResult<Digest32> receipt_claims_digest(const DecisionReceipt& r) {
  // Every check runs before the first byte is hashed, in layout order, so
  // the first malformed field is the one reported.
  auto policy = parse_hex<32>("policy_digest_hex", r.policy_digest_hex);
  if (!policy) return std::unexpected(std::move(policy.error()));
  auto input = parse_hex<32>("input_digest_hex", r.input_digest_hex);
  if (!input) return std::unexpected(std::move(input.error()));
  auto decision = parse_hex<32>("decision_digest_hex", r.decision_digest_hex);
  if (!decision) return std::unexpected(std::move(decision.error()));
  std::array<uint8_t, 32> before{}, after{}, entry{};
  if (r.state) {
    if (r.state->step == 0) return fail(ReceiptMalformed{"state.step", "must be at least 1"});
    auto b = parse_hex<32>("state_digest_before_hex", r.state->state_digest_before_hex);
    if (!b) return std::unexpected(std::move(b.error()));
    auto a = parse_hex<32>("state_digest_after_hex", r.state->state_digest_after_hex);
    if (!a) return std::unexpected(std::move(a.error()));
    before = *b;
    after = *a;
  }
  if (r.wal) {
    if (r.wal->sequence == 0) return fail(ReceiptMalformed{"wal.sequence", "must be at least 1"});
    auto e = parse_hex<32>("wal.entry_hash", r.wal->entry_hash);
    if (!e) return std::unexpected(std::move(e.error()));
    entry = *e;
  }

  Sha256 h;
  h.update(std::string_view("morvrcp1\0", 9));
  h.update_le(static_cast<uint64_t>(r.schema_version.size()));
  h.update(r.schema_version);
  h.update_le(r.policy_epoch);
  h.update_le(r.catalog_epoch);
  h.update(*policy);
  h.update(*input);
  h.update(*decision);
  h.update_le(static_cast<uint8_t>(r.replay_valid ? 1 : 0));
  h.update_le(static_cast<uint8_t>(r.state ? 1 : 0));
  if (r.state) {
    h.update_le(r.state->step);
    h.update(before);
    h.update(after);
  }
  h.update_le(static_cast<uint8_t>(r.wal ? 1 : 0));
  if (r.wal) {
    h.update_le(r.wal->sequence);
    h.update(entry);
  }
  return h.finish();
}

std::string receipt_signing_message(const Digest32& claims_digest, uint64_t signed_at_epoch_ms,
                                    std::string_view signer_id) {
  std::string msg;
  msg.reserve(49 + signer_id.size());
  msg.append("morvrcs1\0", 9);
  msg.append(reinterpret_cast<const char*>(claims_digest.data()), claims_digest.size());
  for (size_t i = 0; i < 8; ++i) msg.push_back(static_cast<char>(signed_at_epoch_ms >> (8 * i)));
  msg.append(signer_id);
  return msg;
}

ReceiptResult<DecisionReceipt> issue_receipt(const PolicySnapshot& snapshot,
                                             const KernelInput& input,
                                             const KernelDecision& decision,
                                             std::optional<ReceiptState> state,
                                             std::optional<ReceiptWal> wal) {
  if (!verify_decision(snapshot, input, decision).valid()) return fail(ReceiptReplayMismatch{});
  DecisionReceipt r;
  r.schema_version = std::string(kReceiptSchemaVersion);
  r.policy_epoch = decision.policy_epoch;
  r.catalog_epoch = decision.catalog_epoch;
  r.policy_digest_hex = bytes_to_hex(policy_digest(snapshot));
  r.input_digest_hex = bytes_to_hex(input_digest(input));
  r.decision_digest_hex = bytes_to_hex(decision_digest(decision));
  r.replay_valid = true;
  r.state = std::move(state);
  r.wal = std::move(wal);
  auto digest = receipt_claims_digest(r);
  if (!digest) return std::unexpected(std::move(digest.error()));
  r.claims_digest_hex = bytes_to_hex(*digest);
  return r;
}

ReceiptResult<void> sign_receipt(DecisionReceipt& r, const Ed25519KeyPair& key,
                                 std::string_view signer_id, uint64_t signed_at_epoch_ms) {
  auto digest = receipt_claims_digest(r);
  if (!digest) return std::unexpected(std::move(digest.error()));
  if (bytes_to_hex(*digest) != r.claims_digest_hex) return fail(ReceiptClaimsDigestMismatch{});
  std::string msg = receipt_signing_message(*digest, signed_at_epoch_ms, signer_id);
  const Ed25519Signature sig = key.sign(msg);
  r.signature = ReceiptSignature{std::string(signer_id), signed_at_epoch_ms,
                                 hex_of(key.public_key()), hex_of(sig)};
  return {};
}

namespace {

// The receipt's claims digest, refused unless it is the stored one.
ReceiptResult<Digest32> checked_claims_digest(const DecisionReceipt& r) {
  auto digest = receipt_claims_digest(r);
  if (!digest) return std::unexpected(std::move(digest.error()));
  if (bytes_to_hex(*digest) != r.claims_digest_hex) return fail(ReceiptClaimsDigestMismatch{});
  return *digest;
}

ReceiptResult<Digest32> verify_claims(const DecisionReceipt& r, const PolicySnapshot& snapshot,
                                      const KernelInput& input, const KernelDecision& decision) {
  if (r.schema_version != kReceiptSchemaVersion) {
    return fail(ReceiptUnknownSchema{r.schema_version});
  }
  if (!r.replay_valid) return fail(ReceiptReplayFlagFalse{});
  if (r.policy_epoch != decision.policy_epoch || r.catalog_epoch != decision.catalog_epoch) {
    return fail(ReceiptReplayMismatch{});
  }
  if (bytes_to_hex(policy_digest(snapshot)) != r.policy_digest_hex) {
    return fail(ReceiptPolicyDigestMismatch{});
  }
  if (bytes_to_hex(input_digest(input)) != r.input_digest_hex) {
    return fail(ReceiptInputDigestMismatch{});
  }
  if (bytes_to_hex(decision_digest(decision)) != r.decision_digest_hex) {
    return fail(ReceiptDecisionDigestMismatch{});
  }
  if (!verify_decision(snapshot, input, decision).valid()) return fail(ReceiptReplayMismatch{});
  return checked_claims_digest(r);
}

// The signature block against the trusted key, under a claims digest that
// has been checked already.
ReceiptResult<void> verify_signature_block(const DecisionReceipt& r, const Digest32& digest,
                                           const Ed25519VerifyingKey& trusted) {
  const ReceiptSignature& s = *r.signature;
  auto public_key = parse_hex<32>("signature.public_key_hex", s.public_key_hex);
  if (!public_key) return std::unexpected(std::move(public_key.error()));
  // The receipt's key is decoded only when it differs from the trusted one:
  // equal bytes are a point already, and a key that is not one is reported
  // as malformed before it is reported as the wrong signer.
  if (*public_key != trusted.bytes()) {
    auto key = Ed25519VerifyingKey::from_bytes(*public_key);
    if (!key) return fail(ReceiptMalformed{"signature.public_key_hex", key.error().message()});
    return fail(ReceiptSignerMismatch{});
  }
  auto signature = parse_hex<64>("signature.signature_hex", s.signature_hex);
  if (!signature) return std::unexpected(std::move(signature.error()));
  const std::string msg = receipt_signing_message(digest, s.signed_at_epoch_ms, s.signer_id);
  if (!trusted.verify(msg, *signature)) return fail(ReceiptSignatureInvalid{});
  return {};
}

}  // namespace

ReceiptResult<void> verify_receipt(const DecisionReceipt& r, const PolicySnapshot& snapshot,
                                   const KernelInput& input, const KernelDecision& decision) {
  auto digest = verify_claims(r, snapshot, input, decision);
  if (!digest) return std::unexpected(std::move(digest.error()));
  return {};
}

ReceiptResult<void> verify_receipt_signature(const DecisionReceipt& r,
                                             const Ed25519VerifyingKey& trusted) {
  if (!r.signature) return fail(ReceiptMissingSignature{});
  auto digest = checked_claims_digest(r);
  if (!digest) return std::unexpected(std::move(digest.error()));
  return verify_signature_block(r, *digest, trusted);
}

ReceiptResult<void> verify_receipt_and_signature(const DecisionReceipt& r,
                                                 const PolicySnapshot& snapshot,
                                                 const KernelInput& input,
                                                 const KernelDecision& decision,
                                                 const Ed25519VerifyingKey& trusted) {
  auto digest = verify_claims(r, snapshot, input, decision);
  if (!digest) return std::unexpected(std::move(digest.error()));
  if (!r.signature) return fail(ReceiptMissingSignature{});
  return verify_signature_block(r, *digest, trusted);
}

ReceiptResult<void> verify_receipt_state(const DecisionReceipt& r, const ReceiptState& expected) {
  if (!r.state || *r.state != expected) return fail(ReceiptStateAnchorMismatch{});
  return {};
}

ReceiptResult<void> verify_receipt_wal(const DecisionReceipt& r, const ReceiptWal& expected) {
  if (!r.wal || *r.wal != expected) return fail(ReceiptWalAnchorMismatch{});
  return {};
}

}  // namespace morvatel
