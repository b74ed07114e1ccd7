#include "digest.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <vector>

namespace morvatel {
namespace {

// Writes the messages by hand, field by field in the published order,
// independently of the streaming writer in digest.cc.
struct Message {
  std::vector<uint8_t> bytes;
  explicit Message(const char* tag) : bytes(tag, tag + 9) {}
  Message& le(size_t size, uint64_t v) {
    for (size_t i = 0; i < size; ++i) bytes.push_back(static_cast<uint8_t>(v >> (8 * i)));
    return *this;
  }
  Digest32 digest() const { return sha256(std::span<const uint8_t>(bytes)); }
};

TEST(Digest, InputAndDecisionFollowTheOffsetTables) {
  const KernelInput in{0x0102030405060708, 0x11223344, 0xA1A2A3A4, 5, -1, 0xFFFFFFFFFFFFFFFE,
                       10000, 2, 9999, 0x80000001, 0x8000000000000001, 0x7F, 0x0123456789ABCDEF};
  Message mi("morvinp1");
  mi.le(8, in.request_sequence).le(4, in.requested_model_id).le(4, in.input_tokens);
  mi.le(4, in.output_tokens).le(8, static_cast<uint64_t>(in.business_value_microunits));
  mi.le(8, in.budget_limit_microunits).le(2, in.risk_bps).le(2, in.confidence_bps);
  mi.le(2, in.minimum_quality_bps).le(4, in.max_p95_latency_ms).le(8, in.required_capabilities);
  mi.le(8, in.allowed_provider_mask).le(8, in.required_region_mask);
  EXPECT_EQ(mi.bytes.size(), kInputDigestMessageBytes);
  EXPECT_EQ(input_digest(in), mi.digest());

  const KernelDecision d{0x0102030405060708, KernelAction::Substitute,
                         KernelReason::RiskCeilingConstraint, 0xDEADBEEF, 0xFFFE,
                         0x1122334455667788, -5, 7, INT64_MIN, 0x0102, 0x0304,
                         0xAABBCCDDEEFF0011, 9};
  Message md("morvdcn1");
  md.le(8, d.request_sequence).le(1, 2).le(2, 110).le(4, d.selected_model_id);
  md.le(2, d.selected_model_index).le(8, d.estimated_cost_microunits);
  md.le(8, static_cast<uint64_t>(d.expected_utility_microunits)).le(4, d.counterfactual_model_id);
  md.le(8, static_cast<uint64_t>(d.counterfactual_utility_microunits));
  md.le(2, d.evaluated_models).le(2, d.eligible_models).le(8, d.policy_epoch);
  md.le(8, d.catalog_epoch);
  EXPECT_EQ(md.bytes.size(), kDecisionDigestMessageBytes);
  EXPECT_EQ(decision_digest(d), md.digest());
}

TEST(Digest, PolicyFollowsTheOffsetTableAndIgnoresCatalogOrder) {
  const PolicyParams p{0xA0A1A2A3A4A5A6A7, 3, 9000, 100, 50000, 0xFFFFFFFFFFFFFFFF};
  // Large enough to cross the writer's internal batches several times.
  std::vector<KernelModel> sorted;
  for (uint32_t id = 1; id <= 100; ++id) {
    sorted.push_back(KernelModel{id, 3, 9000, 8000, 1, 0x01020304, 0xF0F0, 0x0F0F,
                                 0x1111111111111111ULL * (id % 15), 42});
  }
  Message m("morvpol1");
  m.le(8, p.policy_epoch).le(8, p.catalog_epoch).le(2, p.hard_risk_limit_bps);
  m.le(2, p.minimum_confidence_bps).le(2, p.risk_penalty_multiplier_bps);
  m.le(8, p.latency_penalty_microunits_per_ms);
  EXPECT_EQ(m.bytes.size(), kPolicyDigestHeaderBytes);
  for (const KernelModel& k : sorted) {
    m.le(4, k.model_id).le(2, k.provider_id).le(2, k.quality_bps).le(2, k.risk_ceiling_bps);
    m.le(1, k.enabled).le(4, k.p95_latency_ms).le(8, k.capabilities).le(8, k.region_mask);
    m.le(8, k.input_cost_microunits_per_million_tokens);
    m.le(8, k.output_cost_microunits_per_million_tokens);
  }
  EXPECT_EQ(m.bytes.size(), kPolicyDigestHeaderBytes + 100 * kPolicyDigestModelBytes);
  auto as_snapshot = [&](std::vector<KernelModel> v) {
    return PolicySnapshot::new_unchecked(
        p, std::make_shared<const std::vector<KernelModel>>(std::move(v)));
  };
  const std::vector<KernelModel> reversed(sorted.rbegin(), sorted.rend());
  EXPECT_EQ(policy_digest(as_snapshot(sorted)), m.digest());
  EXPECT_EQ(snapshot_fingerprint(as_snapshot(reversed)), bytes_to_hex(m.digest()));
}

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
    PolicyParams p{any(), any(), static_cast<uint16_t>(any()), static_cast<uint16_t>(any()),
                   static_cast<uint16_t>(any()), any()};
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

TEST(Digest, HexIsLowercaseAndFull) {
  Digest32 d{};
  d[0] = 0xAB;
  d[31] = 0x0F;
  EXPECT_EQ(bytes_to_hex(d), "ab" + std::string(60, '0') + "0f");
}

}  // namespace
}  // namespace morvatel
