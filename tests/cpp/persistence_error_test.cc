#include "persistence_error.h"

#include <gtest/gtest.h>

#include <string>

#include "json_artifact.h"
#include "temp_dir.h"

namespace morvatel {
namespace {

struct Pair {
  std::string a;
  uint64_t b = 0;
};
const json::RecordSpec& json_record_spec(const Pair*) {
  static const json::FieldSpec kFields[] = {json::field(&Pair::a, "a"), json::field(&Pair::b, "b")};
  static const json::RecordSpec kSpec{"Pair", kFields};
  return kSpec;
}

// The texts are pinned from Python; the kind of an oversized artefact is
// seen only here.
TEST(JsonArtifactTest, OversizedArtefactIsAnInvalidInputIoError) {
  TempDir dir;
  std::string big(MAX_PERSISTENCE_ARTIFACT_BYTES, 'x');
  auto over = save_json_artifact(dir / "big.json", Pair{big, 1});
  ASSERT_FALSE(over.has_value());
  EXPECT_EQ(over.error().kind(), PersistenceError::Kind::Io);
  EXPECT_EQ(over.error().io_error().kind(), IoErrorKind::InvalidInput);
}

}  // namespace
}  // namespace morvatel
