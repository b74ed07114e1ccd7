#include "audit_json.h"

#include <gtest/gtest.h>

namespace morvatel {
namespace {

AuditBundle sample() {
  AuditBundle b;
  b.schema_version = "morvatel.audit.v1";
  b.digest_algorithm = "sha256";
  b.proof_version = 1;
  b.policy_epoch = UINT64_MAX;
  b.catalog_epoch = 0;
  b.created_by = "morvatel";
  b.policy_digest_hex = std::string(64, 'a');
  b.input_digest_hex = std::string(64, 'b');
  b.decision_digest_hex = std::string(64, 'c');
  b.replay_valid = true;
  return b;
}

std::string error_of(std::string_view text) {
  auto r = parse_audit_bundle(text);
  return r ? "accepted" : r.error().message();
}

TEST(AuditJson, WritesCompactlyInDeclarationOrder) {
  EXPECT_EQ(to_json(sample()),
            "{\"schema_version\":\"morvatel.audit.v1\",\"digest_algorithm\":\"sha256\","
            "\"proof_version\":1,\"policy_epoch\":18446744073709551615,\"catalog_epoch\":0,"
            "\"created_by\":\"morvatel\",\"policy_digest_hex\":\"" +
                std::string(64, 'a') + "\",\"input_digest_hex\":\"" + std::string(64, 'b') +
                "\",\"decision_digest_hex\":\"" + std::string(64, 'c') +
                "\",\"replay_valid\":true}");
  auto back = parse_audit_bundle(to_json(sample()));
  ASSERT_TRUE(back);
  EXPECT_EQ(*back, sample());
}

TEST(AuditJson, RefusesWhatIsNotExactlyABundle) {
  std::string full = to_json(sample());
  std::string body = full.substr(1, full.size() - 2);
  EXPECT_EQ(error_of("{" + body + ",\"extra\":1}"),
            "unknown field `extra`, expected one of `schema_version`, `digest_algorithm`, "
            "`proof_version`, `policy_epoch`, `catalog_epoch`, `created_by`, "
            "`policy_digest_hex`, `input_digest_hex`, `decision_digest_hex`, `replay_valid` "
            "at line 1 column " +
                std::to_string(body.size() + 9));
  EXPECT_EQ(error_of("{\"created_by\":\"a\"}"),
            "missing field `schema_version` at line 1 column 18");
  EXPECT_EQ(error_of("[\"a\",\"b\",1]"),
            "invalid length 3, expected struct AuditBundle with 10 elements at line 1 column 11");
  EXPECT_EQ(error_of("\"bundle\""),
            "invalid type: string \"bundle\", expected struct AuditBundle at line 1 column 8");
  EXPECT_EQ(error_of("[\"a\",\"b\",65536,2,3,\"c\",\"d\",\"e\",\"f\",true]"),
            "invalid value: integer `65536`, expected u16 at line 1 column 14");
  EXPECT_EQ(error_of("[\"a\",\"b\",1,-2,3,\"c\",\"d\",\"e\",\"f\",true]"),
            "invalid value: integer `-2`, expected u64 at line 1 column 13");
  EXPECT_EQ(error_of("[\"a\",\"b\",1,2,3,\"c\",\"d\",\"e\",\"f\",1]"),
            "invalid type: integer `1`, expected a boolean at line 1 column 32");
  EXPECT_EQ(error_of("[\"a\",1,1,2,3,\"c\",\"d\",\"e\",\"f\",true]"),
            "invalid type: integer `1`, expected a string at line 1 column 6");
}

}  // namespace
}  // namespace morvatel
