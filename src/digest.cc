#include "digest.h"

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstring>
#include <type_traits>
#include <vector>

#include "text.h"

namespace morvatel {

namespace {

// Stores `value` little-endian at `p` and returns the next free byte. On a
// little-endian host that is one plain store.
template <typename T>
uint8_t* store_le(uint8_t* p, T value) {
  auto u = static_cast<std::make_unsigned_t<T>>(value);
  if constexpr (std::endian::native == std::endian::little) {
    std::memcpy(p, &u, sizeof u);
  } else {
    for (size_t i = 0; i < sizeof u; ++i) p[i] = static_cast<uint8_t>(u >> (8 * i));
  }
  return p + sizeof u;
}

constexpr size_t kTagBytes = 9;  // 8 letters and the zero byte

uint8_t* store_tag(uint8_t* p, const char (&name)[kTagBytes]) {
  std::memcpy(p, name, kTagBytes);
  return p + kTagBytes;
}

// A field as the message holds it: an enumeration by its code.
template <typename T>
constexpr auto message_value(const T& field) {
  if constexpr (std::is_enum_v<T>) {
    return code(field);
  } else {
    return field;
  }
}

template <typename R>
uint8_t* store_record(uint8_t* p, const R& record) {
  for_each_field(record,
                 [&](const char*, const auto& field) { p = store_le(p, message_value(field)); });
  return p;
}

template <typename R>
constexpr size_t record_bytes() {
  size_t n = 0;
  const R record{};
  for_each_field(record,
                 [&](const char*, const auto& field) { n += sizeof(message_value(field)); });
  return n;
}

static_assert(kTagBytes + record_bytes<KernelInput>() == kInputDigestMessageBytes);
static_assert(kTagBytes + record_bytes<KernelDecision>() == kDecisionDigestMessageBytes);
static_assert(record_bytes<KernelModel>() == kPolicyDigestModelBytes);

// The calling thread's hash context, started again: setting a context up
// costs more than hashing a record's few blocks. No digest here nests in
// another, so one per thread serves them all.
Sha256& fresh_hash() {
  thread_local Sha256 hash;
  hash.reset();
  return hash;
}

// A record message is short and of fixed length: it is laid out whole and
// hashed in one update.
template <typename R>
Digest32 record_digest(const char (&tag)[kTagBytes], const R& record) {
  uint8_t buf[kTagBytes + record_bytes<R>()];
  uint8_t* end = store_record(store_tag(buf, tag), record);
  Sha256& hash = fresh_hash();
  hash.update(buf, static_cast<size_t>(end - buf));
  return hash.finish();
}

// Lays the policy message out in a fixed buffer and hands the hash whole
// runs of 64-byte blocks, so the hash never has to stage a partial block and
// no field costs a call or a length check of its own. The whole message is
// never held: a catalogue may be large.
class BlockWriter {
 public:
  static constexpr size_t kMaxPiece = 64;

  explicit BlockWriter(Sha256& hash) : hash_(hash) {}
  // Hashes what is left; called once, at the end. Not a destructor's work:
  // hashing may throw.
  void flush() {
    hash_.update(buf_, len_);
    len_ = 0;
  }

  // Room for n contiguous bytes, n at most kMaxPiece, to be written now.
  uint8_t* reserve(size_t n) {
    if (len_ >= kRun) spill();
    uint8_t* p = buf_ + len_;
    len_ += n;
    return p;
  }

 private:
  static constexpr size_t kRun = 64 * 64;

  // Hashes the full run and keeps the piece that overhangs it.
  void spill() {
    hash_.update(buf_, kRun);
    std::memcpy(buf_, buf_ + kRun, len_ - kRun);
    len_ -= kRun;
  }

  Sha256& hash_;
  uint8_t buf_[kRun + kMaxPiece];
  size_t len_ = 0;
};

static_assert(kPolicyDigestHeaderBytes <= BlockWriter::kMaxPiece &&
              kPolicyDigestModelBytes <= BlockWriter::kMaxPiece);

inline void put_model(BlockWriter& w, const KernelModel& m) {
  store_record(w.reserve(kPolicyDigestModelBytes), m);
}

bool sorted_by_id(std::span<const KernelModel> models) {
  return std::is_sorted(models.begin(), models.end(),
                        [](const KernelModel& a, const KernelModel& b) {
                          return a.model_id < b.model_id;
                        });
}

}  // namespace

Digest32 policy_digest(const PolicySnapshot& snapshot) {
  Sha256& hash = fresh_hash();
  BlockWriter w(hash);
  const PolicyParams& p = snapshot.params();
  uint8_t* at = store_tag(w.reserve(kPolicyDigestHeaderBytes), "morvpol1");
  at = store_le(at, p.policy_epoch);
  at = store_le(at, p.catalog_epoch);
  at = store_le(at, p.hard_risk_limit_bps);
  at = store_le(at, p.minimum_confidence_bps);
  at = store_le(at, p.risk_penalty_multiplier_bps);
  store_le(at, p.latency_penalty_microunits_per_ms);
  std::span<const KernelModel> models = snapshot.models();
  // Every catalogue the system builds is already in id order; only an
  // unsorted one needs the list of references.
  if (sorted_by_id(models)) {
    for (const KernelModel& m : models) put_model(w, m);
  } else {
    std::vector<const KernelModel*> order;
    order.reserve(models.size());
    for (const KernelModel& m : models) order.push_back(&m);
    std::stable_sort(order.begin(), order.end(), [](const KernelModel* a, const KernelModel* b) {
      return a->model_id < b->model_id;
    });
    for (const KernelModel* m : order) put_model(w, *m);
  }
  w.flush();
  return hash.finish();
}

Digest32 input_digest(const KernelInput& input) { return record_digest("morvinp1", input); }

Digest32 decision_digest(const KernelDecision& decision) {
  return record_digest("morvdcn1", decision);
}

std::string bytes_to_hex(const Digest32& digest) { return hex_lower(digest.data(), digest.size()); }

std::string snapshot_fingerprint(const PolicySnapshot& snapshot) {
  return bytes_to_hex(policy_digest(snapshot));
}

}  // namespace morvatel
