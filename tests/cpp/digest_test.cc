#include "digest.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <vector>

namespace morvatel {
namespace {

// Writes the messages from the published offset tables, independently of
// the streaming writer in digest.cc.
struct Message {
  std::vector<uint8_t> bytes;
  explicit Message(size_t n) : bytes(n, 0xAA) {}
  void tag(size_t at, const char* name) {
    std::memcpy(&bytes[at], name, 8);
    bytes[at + 8] = 0;
  }
  void le(size_t at, size_t size, uint64_t v) {
    for (size_t i = 0; i < size; ++i) bytes[at + i] = static_cast<uint8_t>(v >> (8 * i));
  }
  Digest32 digest() const { return sha256(std::span<const uint8_t>(bytes)); }
};

KernelInput sample_input() {
  return KernelInput{0x0102030405060708, 0x11223344, 0xA1A2A3A4, 5, -1, 0xFFFFFFFFFFFFFFFE,
                     10000, 2, 9999, 0x80000001, 0x8000000000000001, 0x7F, 0x0123456789ABCDEF};
}

TEST(Digest, InputFollowsTheOffsetTable) {
  KernelInput in = sample_input();
  Message m(kInputDigestMessageBytes);
  m.tag(0, "morvinp1");
  m.le(9, 8, in.request_sequence);
  m.le(17, 4, in.requested_model_id);
  m.le(21, 4, in.input_tokens);
  m.le(25, 4, in.output_tokens);
  m.le(29, 8, static_cast<uint64_t>(in.business_value_microunits));
  m.le(37, 8, in.budget_limit_microunits);
  m.le(45, 2, in.risk_bps);
  m.le(47, 2, in.confidence_bps);
  m.le(49, 2, in.minimum_quality_bps);
  m.le(51, 4, in.max_p95_latency_ms);
  m.le(55, 8, in.required_capabilities);
  m.le(63, 8, in.allowed_provider_mask);
  m.le(71, 8, in.required_region_mask);
  EXPECT_EQ(m.bytes[29], 0xFF);  // -1 as two's complement
  EXPECT_EQ(input_digest(in), m.digest());
}

TEST(Digest, DecisionFollowsTheOffsetTable) {
  KernelDecision d{0x0102030405060708, KernelAction::Substitute, KernelReason::RiskCeilingConstraint,
                   0xDEADBEEF, 0xFFFE, 0x1122334455667788, -5, 7, INT64_MIN, 0x0102, 0x0304,
                   0xAABBCCDDEEFF0011, 9};
  Message m(kDecisionDigestMessageBytes);
  m.tag(0, "morvdcn1");
  m.le(9, 8, d.request_sequence);
  m.le(17, 1, 2);
  m.le(18, 2, 110);
  m.le(20, 4, d.selected_model_id);
  m.le(24, 2, d.selected_model_index);
  m.le(26, 8, d.estimated_cost_microunits);
  m.le(34, 8, static_cast<uint64_t>(d.expected_utility_microunits));
  m.le(42, 4, d.counterfactual_model_id);
  m.le(46, 8, static_cast<uint64_t>(d.counterfactual_utility_microunits));
  m.le(54, 2, d.evaluated_models);
  m.le(56, 2, d.eligible_models);
  m.le(58, 8, d.policy_epoch);
  m.le(66, 8, d.catalog_epoch);
  EXPECT_EQ(decision_digest(d), m.digest());

  KernelDecision other = d;
  other.counterfactual_utility_microunits += 1;
  EXPECT_NE(decision_digest(d), decision_digest(other));
}

KernelModel model(uint32_t id, uint8_t enabled = 1) {
  return KernelModel{id, 3, 9000, 8000, enabled, 0x01020304, 0xF0F0, 0x0F0F,
                     0x1111111111111111ULL * (id % 15), 42};
}

Message policy_message(const PolicyParams& p, const std::vector<KernelModel>& sorted) {
  Message m(kPolicyDigestHeaderBytes + kPolicyDigestModelBytes * sorted.size());
  m.tag(0, "morvpol1");
  m.le(9, 8, p.policy_epoch);
  m.le(17, 8, p.catalog_epoch);
  m.le(25, 2, p.hard_risk_limit_bps);
  m.le(27, 2, p.minimum_confidence_bps);
  m.le(29, 2, p.risk_penalty_multiplier_bps);
  m.le(31, 8, p.latency_penalty_microunits_per_ms);
  for (size_t i = 0; i < sorted.size(); ++i) {
    size_t at = kPolicyDigestHeaderBytes + kPolicyDigestModelBytes * i;
    const KernelModel& k = sorted[i];
    m.le(at + 0, 4, k.model_id);
    m.le(at + 4, 2, k.provider_id);
    m.le(at + 6, 2, k.quality_bps);
    m.le(at + 8, 2, k.risk_ceiling_bps);
    m.le(at + 10, 1, k.enabled);
    m.le(at + 11, 4, k.p95_latency_ms);
    m.le(at + 15, 8, k.capabilities);
    m.le(at + 23, 8, k.region_mask);
    m.le(at + 31, 8, k.input_cost_microunits_per_million_tokens);
    m.le(at + 39, 8, k.output_cost_microunits_per_million_tokens);
  }
  return m;
}

TEST(Digest, PolicyFollowsTheOffsetTableAndIgnoresCatalogOrder) {
  PolicyParams p{0xA0A1A2A3A4A5A6A7, 3, 9000, 100, 50000, 0xFFFFFFFFFFFFFFFF};
  // Large enough to cross the writer's internal batches several times.
  std::vector<KernelModel> sorted;
  for (uint32_t id = 1; id <= 100; ++id) sorted.push_back(model(id));
  std::vector<KernelModel> reversed(sorted.rbegin(), sorted.rend());

  Digest32 expected = policy_message(p, sorted).digest();
  auto as_snapshot = [&](const std::vector<KernelModel>& v) {
    return PolicySnapshot::new_unchecked(p, std::make_shared<const std::vector<KernelModel>>(v));
  };
  EXPECT_EQ(policy_digest(as_snapshot(sorted)), expected);
  EXPECT_EQ(policy_digest(as_snapshot(reversed)), expected);
  EXPECT_EQ(snapshot_fingerprint(as_snapshot(reversed)), bytes_to_hex(expected));
  EXPECT_EQ(policy_message(p, {model(1)}).bytes.size(), 86u);

  std::vector<KernelModel> disabled = sorted;
  disabled[50].enabled = 0;
  EXPECT_NE(policy_digest(as_snapshot(disabled)), expected);
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
  std::string hex = bytes_to_hex(d);
  EXPECT_EQ(hex.size(), 64u);
  EXPECT_EQ(hex.substr(0, 2), "ab");
  EXPECT_EQ(hex.substr(62), "0f");
}

}  // namespace
}  // namespace morvatel
