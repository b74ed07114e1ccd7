#include "provenance.h"

#include <algorithm>
#include <array>

#include "digest.h"
#include "text.h"

namespace morvatel::provenance {

namespace {

constexpr std::string_view kTag = "morvsig1";
static_assert(kSigningMessageHeaderBytes == kTag.size() + 1 + std::tuple_size_v<Digest32> + 8);
constexpr size_t kSignatureHexChars = 128;

std::string hex_of(std::span<const uint8_t> bytes) { return hex_lower(bytes.data(), bytes.size()); }

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// Lowercase hex only: an upper-case digit is as foreign here as any other
// character, so one signature has exactly one text form.
std::expected<Ed25519Signature, ProvenanceError> decode_signature(std::string_view hex) {
  if (hex.size() != kSignatureHexChars) {
    return std::unexpected(
        ProvenanceError::malformed("signature_hex", str_cat("expected ", kSignatureHexChars,
                                                            " hex chars, found ", hex.size())));
  }
  Ed25519Signature sig{};
  for (size_t i = 0; i < hex.size(); i += 2) {
    int hi = hex_digit(hex[i]);
    if (hi < 0) {
      return std::unexpected(
          ProvenanceError::malformed("signature_hex", str_cat("invalid hex at offset ", i)));
    }
    int lo = hex_digit(hex[i + 1]);
    if (lo < 0) {
      return std::unexpected(
          ProvenanceError::malformed("signature_hex", str_cat("invalid hex at offset ", i + 1)));
    }
    sig[i / 2] = static_cast<uint8_t>(hi << 4 | lo);
  }
  return sig;
}

}  // namespace

std::vector<uint8_t> signing_message(const Digest32& policy_digest, uint64_t signed_at_epoch_ms,
                                     std::string_view signer_id) {
  // Sized once and filled in place: g++ 12 misreads a range insert into a
  // reserved vector as an overflow (-Wstringop-overflow).
  std::vector<uint8_t> m(kSigningMessageHeaderBytes + signer_id.size());
  uint8_t* out = std::copy(kTag.begin(), kTag.end(), m.data());
  *out++ = 0;
  out = std::copy(policy_digest.begin(), policy_digest.end(), out);
  for (size_t i = 0; i < 8; ++i) *out++ = static_cast<uint8_t>(signed_at_epoch_ms >> (8 * i));
  std::copy(signer_id.begin(), signer_id.end(), out);
  return m;
}

ProvenanceError ProvenanceError::policy_digest_mismatch(std::string artifact_hex,
                                                        std::string snapshot_hex) {
  ProvenanceError e;
  e.kind = Kind::PolicyDigestMismatch;
  e.artifact_hex = std::move(artifact_hex);
  e.snapshot_hex = std::move(snapshot_hex);
  return e;
}

ProvenanceError ProvenanceError::malformed(std::string field, std::string reason) {
  ProvenanceError e;
  e.kind = Kind::Malformed;
  e.field = std::move(field);
  e.reason = std::move(reason);
  return e;
}

ProvenanceError ProvenanceError::signature_invalid() {
  ProvenanceError e;
  e.kind = Kind::SignatureInvalid;
  return e;
}

ProvenanceError ProvenanceError::untrusted_key() {
  ProvenanceError e;
  e.kind = Kind::UntrustedKey;
  return e;
}

std::string ProvenanceError::message() const {
  switch (kind) {
    case Kind::PolicyDigestMismatch:
      return str_cat("policy digest mismatch: artifact signs ", artifact_hex,
                     ", snapshot digests to ", snapshot_hex);
    case Kind::Malformed: return str_cat("malformed ", field, ": ", reason);
    case Kind::SignatureInvalid: return "signature verification failed";
    case Kind::UntrustedKey: return "verifying key does not match the pinned trust anchor";
  }
  return "signature verification failed";
}

SignedPolicy sign_policy(const PolicySnapshot& snapshot, const Ed25519KeyPair& key,
                         std::string_view signer_id, uint64_t signed_at_epoch_ms) {
  Digest32 digest = policy_digest(snapshot);
  Ed25519Signature sig = key.sign(signing_message(digest, signed_at_epoch_ms, signer_id));
  SignedPolicy out;
  out.policy_digest_hex = bytes_to_hex(digest);
  out.signer_id = std::string(signer_id);
  out.signed_at_epoch_ms = signed_at_epoch_ms;
  out.public_key_hex = hex_of(key.public_key());
  out.signature_hex = hex_of(sig);
  return out;
}

std::expected<void, ProvenanceError> verify(const SignedPolicy& record,
                                            const PolicySnapshot& snapshot,
                                            const Ed25519VerifyingKey& trusted) {
  // Compared as text, so an upper-case key field never passes.
  if (hex_of(trusted.bytes()) != record.public_key_hex) {
    return std::unexpected(ProvenanceError::untrusted_key());
  }
  Digest32 digest = policy_digest(snapshot);
  std::string digest_hex = bytes_to_hex(digest);
  if (digest_hex != record.policy_digest_hex) {
    return std::unexpected(
        ProvenanceError::policy_digest_mismatch(record.policy_digest_hex, std::move(digest_hex)));
  }
  auto sig = decode_signature(record.signature_hex);
  if (!sig) return std::unexpected(std::move(sig.error()));
  // The message is rebuilt from the digest computed here, never from the
  // record's text, so only the snapshot in hand can pass.
  if (!trusted.verify(signing_message(digest, record.signed_at_epoch_ms, record.signer_id), *sig)) {
    return std::unexpected(ProvenanceError::signature_invalid());
  }
  return {};
}

const json::RecordSpec& json_record_spec(const SignedPolicy*) {
  static const json::FieldSpec kFields[] = {
      json::field(&SignedPolicy::policy_digest_hex, "policy_digest_hex"),
      json::field(&SignedPolicy::signer_id, "signer_id"),
      json::field(&SignedPolicy::signed_at_epoch_ms, "signed_at_epoch_ms"),
      json::field(&SignedPolicy::public_key_hex, "public_key_hex"),
      json::field(&SignedPolicy::signature_hex, "signature_hex"),
  };
  static const json::RecordSpec kSpec{"SignedPolicy", kFields};
  return kSpec;
}

json::Result<std::string> to_json(const SignedPolicy& record) {
  std::string out;
  json::StringSink sink(out);
  if (auto r = json::write(sink, record, json::Layout::Compact); !r) {
    return std::unexpected(std::move(r.error()));
  }
  return out;
}

json::Value to_value(const SignedPolicy& record) {
  json::Object o;
  o.reserve(5);
  o.set("policy_digest_hex", json::Value(record.policy_digest_hex));
  o.set("signer_id", json::Value(record.signer_id));
  o.set("signed_at_epoch_ms", json::Value(record.signed_at_epoch_ms));
  o.set("public_key_hex", json::Value(record.public_key_hex));
  o.set("signature_hex", json::Value(record.signature_hex));
  return json::Value(std::move(o));
}

json::Result<SignedPolicy> parse_signed_policy(std::string_view text) {
  return json::parse<SignedPolicy>(text);
}

}  // namespace morvatel::provenance
