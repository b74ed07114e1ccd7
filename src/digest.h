#ifndef MORVATEL_DIGEST_H_
#define MORVATEL_DIGEST_H_

// The three kernel digests that name a policy, a request and a decision byte
// for byte. Each is SHA-256 over a 9-byte tag ("morv...1" and a zero byte)
// followed by the record's fields at their declared widths, little-endian,
// with nothing in between; outside verifiers recompute them from that layout.

#include <string>

#include "crypto.h"
#include "kernel/policy.h"
#include "kernel/records.h"

namespace morvatel {

inline constexpr size_t kInputDigestMessageBytes = 79;
inline constexpr size_t kDecisionDigestMessageBytes = 74;
inline constexpr size_t kPolicyDigestHeaderBytes = 39;
inline constexpr size_t kPolicyDigestModelBytes = 47;

// Parameters, then every catalogue model in ascending model_id order (a
// stable sort, so the digest never depends on how the catalogue is held).
// The catalogue maxima are derived and not hashed.
Digest32 policy_digest(const PolicySnapshot& snapshot);
Digest32 input_digest(const KernelInput& input);
Digest32 decision_digest(const KernelDecision& decision);

// 64 lowercase hexadecimal characters.
std::string bytes_to_hex(const Digest32& digest);

// The policy's text form: bytes_to_hex(policy_digest(snapshot)).
std::string snapshot_fingerprint(const PolicySnapshot& snapshot);

}  // namespace morvatel

#endif  // MORVATEL_DIGEST_H_
