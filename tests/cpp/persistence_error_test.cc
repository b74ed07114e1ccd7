#include "persistence_error.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "fs.h"
#include "json_artifact.h"

namespace morvatel {
namespace {

// The texts and the byte limit are pinned from Python; what only C++ sees
// is how a failure is sorted into its layer.
struct Pair {
  std::string a;
  uint64_t b = 0;
};
const json::RecordSpec& json_record_spec(const Pair*) {
  static const json::FieldSpec kFields[] = {json::field(&Pair::a, "a"), json::field(&Pair::b, "b")};
  static const json::RecordSpec kSpec{"Pair", kFields};
  return kSpec;
}

TEST(JsonArtifactTest, FailuresAreSortedByLayer) {
  char tmpl[] = "/tmp/morvatel-ja-XXXXXX";
  const std::string dir = ::mkdtemp(tmpl);
  auto missing = load_json_artifact<Pair>(join_path(dir, "none"));
  ASSERT_FALSE(missing.has_value());
  EXPECT_EQ(missing.error().kind(), PersistenceError::Kind::Io);

  std::string path = join_path(dir, "bad.json");
  std::ofstream(path) << "{\"a\":\"x\",\"b\":1,\"c\":2}";
  auto bad = load_json_artifact<Pair>(path);
  ASSERT_FALSE(bad.has_value());
  EXPECT_EQ(bad.error().kind(), PersistenceError::Kind::Json);

  std::string big(MAX_PERSISTENCE_ARTIFACT_BYTES, 'x');
  auto over = save_json_artifact(join_path(dir, "big.json"), Pair{big, 1});
  ASSERT_FALSE(over.has_value());
  EXPECT_EQ(over.error().kind(), PersistenceError::Kind::Io);
  EXPECT_EQ(over.error().io_error().kind(), IoErrorKind::InvalidInput);
  EXPECT_EQ(PersistenceError::restore(budget::RestoreError::active_reservations(1)).kind(),
            PersistenceError::Kind::Restore);
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
}

}  // namespace
}  // namespace morvatel
