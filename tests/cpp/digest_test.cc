#include "digest.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <vector>

namespace morvatel {
namespace {

// The field-at-a-time writer the block writer replaced: each field checked
// against a 1024-byte buffer that is flushed whenever the next field would
// not fit. Kept as the reference the block writer must match byte for byte.
class FieldWriter {
 public:
  explicit FieldWriter(Sha256& hash) : hash_(hash) {}
  ~FieldWriter() { flush(); }
  void tag(const char (&name)[9]) {
    if (len_ + 9 > sizeof buf_) flush();
    std::memcpy(buf_ + len_, name, 9);
    len_ += 9;
  }
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
  Sha256& hash_;
  uint8_t buf_[1024];
  size_t len_ = 0;
};

bool by_id(const KernelModel& a, const KernelModel& b) { return a.model_id < b.model_id; }

Digest32 field_policy_digest(const PolicySnapshot& s) {
  Sha256 hash;
  {
    FieldWriter w(hash);
    const PolicyParams& p = s.params();
    w.tag("morvpol1");
    w.put(p.policy_epoch);
    w.put(p.catalog_epoch);
    w.put(p.hard_risk_limit_bps);
    w.put(p.minimum_confidence_bps);
    w.put(p.risk_penalty_multiplier_bps);
    w.put(p.latency_penalty_microunits_per_ms);
    std::vector<KernelModel> models(s.models().begin(), s.models().end());
    std::stable_sort(models.begin(), models.end(), by_id);
    for (const KernelModel& m : models) for_each_field(m, [&](const char*, auto f) { w.put(f); });
  }
  return hash.finish();
}

template <typename R>
Digest32 field_record_digest(const char (&tag)[9], const R& record) {
  Sha256 hash;
  {
    FieldWriter w(hash);
    w.tag(tag);
    for_each_field(record, [&](const char*, auto f) {
      if constexpr (std::is_enum_v<decltype(f)>) {
        w.put(code(f));
      } else {
        w.put(f);
      }
    });
  }
  return hash.finish();
}

// Random records with every field at its extremes now and then; catalogues
// of every length around the writer's 4096-byte runs, in random order with
// repeated ids, so the stable order of equal ids matters.
TEST(Digest, BlockWriterMatchesTheFieldWriter) {
  std::mt19937_64 rng(105);
  auto any = [&]() -> uint64_t {
    switch (rng() % 4) {
      case 0: return 0;
      case 1: return ~uint64_t{0} - rng() % 2;
      default: return rng();
    }
  };
  // Enums get codes up to 199, valid or not: the digest takes them as read.
  auto fill = [&](auto& record) {
    for_each_field(record, [&](const char*, auto& f) {
      using T = std::remove_cvref_t<decltype(f)>;
      if constexpr (std::is_enum_v<T>) {
        f = static_cast<T>(any() % 200);
      } else {
        f = static_cast<T>(any());
      }
    });
  };
  // 4096 % 47 == 7, so over 47 runs the piece that overhangs a run takes
  // every length from 0 to 46.
  for (size_t n : {0, 1, 2, 85, 86, 87, 88, 173, 174, 175, 300, 47 * 87 + 50}) {
    std::vector<KernelModel> models;
    for (size_t i = 0; i < n; ++i) {
      KernelModel m;
      fill(m);
      m.model_id = static_cast<uint32_t>(rng() % (n + 1));
      models.push_back(m);
    }
    if (n % 2 == 0) {
      std::stable_sort(models.begin(), models.end(), by_id);
    }
    PolicyParams p{any(),
                   any(),
                   static_cast<uint16_t>(any()),
                   static_cast<uint16_t>(any()),
                   static_cast<uint16_t>(any()),
                   any()};
    PolicySnapshot s =
        PolicySnapshot::new_unchecked(p, std::make_shared<const std::vector<KernelModel>>(models));
    EXPECT_EQ(policy_digest(s), field_policy_digest(s)) << n << " models";
  }
  for (int round = 0; round < 200; ++round) {
    KernelInput in;
    fill(in);
    EXPECT_EQ(input_digest(in), field_record_digest("morvinp1", in));
    KernelDecision d;
    fill(d);
    EXPECT_EQ(decision_digest(d), field_record_digest("morvdcn1", d));
  }
}

}  // namespace
}  // namespace morvatel
