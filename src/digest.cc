#include "digest.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "text.h"

namespace morvatel {

namespace {

// Collects fields little-endian in a small fixed buffer and hands it to the
// hash when full, so SHA-256 sees a few large updates instead of one call
// per field, without ever holding the whole message.
class LeWriter {
 public:
  explicit LeWriter(Sha256& hash) : hash_(hash) {}
  ~LeWriter() { flush(); }

  void tag(const char (&name)[9]) { put_bytes(name, 9); }  // 8 letters and the zero byte

  template <typename T>
  void put(T value) {
    auto u = static_cast<std::make_unsigned_t<T>>(value);
    if (len_ + sizeof(T) > sizeof buf_) flush();
    for (size_t i = 0; i < sizeof(T); ++i) buf_[len_ + i] = static_cast<uint8_t>(u >> (8 * i));
    len_ += sizeof(T);
  }

  void flush() {
    hash_.update(buf_, len_);
    len_ = 0;
  }

 private:
  void put_bytes(const char* p, size_t n) {
    if (len_ + n > sizeof buf_) flush();
    std::memcpy(buf_ + len_, p, n);
    len_ += n;
  }

  Sha256& hash_;
  uint8_t buf_[1024];
  size_t len_ = 0;
};

void put_model(LeWriter& w, const KernelModel& m) {
  w.put(m.model_id);
  w.put(m.provider_id);
  w.put(m.quality_bps);
  w.put(m.risk_ceiling_bps);
  w.put(m.enabled);
  w.put(m.p95_latency_ms);
  w.put(m.capabilities);
  w.put(m.region_mask);
  w.put(m.input_cost_microunits_per_million_tokens);
  w.put(m.output_cost_microunits_per_million_tokens);
}

bool sorted_by_id(std::span<const KernelModel> models) {
  return std::is_sorted(models.begin(), models.end(), [](const KernelModel& a, const KernelModel& b) {
    return a.model_id < b.model_id;
  });
}

}  // namespace

Digest32 policy_digest(const PolicySnapshot& snapshot) {
  Sha256 hash;
  {
    LeWriter w(hash);
    const PolicyParams& p = snapshot.params();
    w.tag("morvpol1");
    w.put(p.policy_epoch);
    w.put(p.catalog_epoch);
    w.put(p.hard_risk_limit_bps);
    w.put(p.minimum_confidence_bps);
    w.put(p.risk_penalty_multiplier_bps);
    w.put(p.latency_penalty_microunits_per_ms);
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
  }
  return hash.finish();
}

Digest32 input_digest(const KernelInput& input) {
  Sha256 hash;
  {
    LeWriter w(hash);
    w.tag("morvinp1");
    for_each_field(input, [&](const char*, const auto& field) { w.put(field); });
  }
  return hash.finish();
}

Digest32 decision_digest(const KernelDecision& decision) {
  Sha256 hash;
  {
    LeWriter w(hash);
    w.tag("morvdcn1");
    for_each_field(decision, [&](const char*, const auto& field) {
      using T = std::remove_cvref_t<decltype(field)>;
      if constexpr (std::is_enum_v<T>) {
        w.put(code(field));
      } else {
        w.put(field);
      }
    });
  }
  return hash.finish();
}

std::string bytes_to_hex(const Digest32& digest) { return hex_lower(digest.data(), digest.size()); }

std::string snapshot_fingerprint(const PolicySnapshot& snapshot) {
  return bytes_to_hex(policy_digest(snapshot));
}

}  // namespace morvatel
