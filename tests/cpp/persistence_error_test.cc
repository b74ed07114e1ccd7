#include "persistence_error.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "bounded_io.h"
#include "fs.h"
#include "json_artifact.h"

namespace morvatel {
namespace {

TEST(PersistenceErrorTest, TextsNestTheInnerError) {
  EXPECT_EQ(PersistenceError::io(IoError::os(ENOENT)).message(),
            "I/O error: No such file or directory (os error 2)");
  EXPECT_EQ(PersistenceError::json(json::Error{json::Error::Category::Syntax, "trailing characters", 1, 5})
                .message(),
            "JSON error: trailing characters at line 1 column 5");
  EXPECT_EQ(PersistenceError::restore(budget::RestoreError::negative_field("t", "initial_microcents", -1))
                .message(),
            "restore error: tenant t has negative initial_microcents: -1");
  EXPECT_EQ(PersistenceError::io(IoError::os(ENOENT)).kind(), PersistenceError::Kind::Io);
}

struct Pair {
  std::string a;
  uint64_t b = 0;
};
const json::RecordSpec& json_record_spec(const Pair*) {
  static const json::FieldSpec kFields[] = {json::field(&Pair::a, "a"), json::field(&Pair::b, "b")};
  static const json::RecordSpec kSpec{"Pair", kFields};
  return kSpec;
}

class JsonArtifactTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/morvatel-ja-XXXXXX";
    dir_ = ::mkdtemp(tmpl);
  }
  void TearDown() override {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
  std::string dir_;
};

TEST_F(JsonArtifactTest, SavesIndentedAndLoadsBack) {
  std::string path = join_path(dir_, "p.json");
  ASSERT_TRUE(save_json_artifact(path, Pair{"x", 7}).has_value());
  std::ifstream f(path, std::ios::binary);
  std::string text((std::istreambuf_iterator<char>(f)), {});
  EXPECT_EQ(text, "{\n  \"a\": \"x\",\n  \"b\": 7\n}");
  auto back = load_json_artifact<Pair>(path);
  ASSERT_TRUE(back.has_value());
  EXPECT_EQ(back->a, "x");
  EXPECT_EQ(back->b, 7u);
}

TEST_F(JsonArtifactTest, FailuresAreSortedByLayer) {
  auto missing = load_json_artifact<Pair>(join_path(dir_, "none"));
  ASSERT_FALSE(missing.has_value());
  EXPECT_EQ(missing.error().message(), "I/O error: No such file or directory (os error 2)");

  std::string path = join_path(dir_, "bad.json");
  std::ofstream(path) << "{\"a\":\"x\",\"b\":1,\"c\":2}";
  auto bad = load_json_artifact<Pair>(path);
  ASSERT_FALSE(bad.has_value());
  EXPECT_EQ(bad.error().kind(), PersistenceError::Kind::Json);

  std::string big(MAX_PERSISTENCE_ARTIFACT_BYTES, 'x');
  auto over = save_json_artifact(join_path(dir_, "big.json"), Pair{big, 1});
  ASSERT_FALSE(over.has_value());
  EXPECT_EQ(over.error().message(), "I/O error: persistence artifact exceeds 16777216 bytes");
  EXPECT_EQ(over.error().io_error().kind(), IoErrorKind::InvalidInput);
}

}  // namespace
}  // namespace morvatel
