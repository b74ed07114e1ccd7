#include "wal.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "fs.h"
#include "temp_dir.h"

namespace morvatel::wal {
namespace {

std::string entry_line(uint64_t seq, const std::string& prev, const std::string& data,
                       WalKey key = std::nullopt) {
  return format_line(seq, prev, compute_hash(prev, data, key).value(), data);
}

TEST(ComputeHashTest, ShortKeyIsRefused) {
  auto short_key = compute_hash("genesis", "null", std::string(31, 'k'));
  EXPECT_EQ(short_key.error().kind(), IoErrorKind::InvalidInput);
  EXPECT_EQ(short_key.error().message(), "WAL HMAC key must be at least 32 bytes, found 31");
}

// A line may be exactly the cap long, its line feed included; the reader
// never holds more than one byte over it.
TEST(ReadBoundedLineTest, LinesEndOfFileAndTheCap) {
  TempDir dir;
  std::string big(kMaxLineBytes - 1, 'x');
  spill(dir / "f", "a\n\nbc" + std::string("\n") + big + "\n" + big + "yz");
  auto fd = open_path(dir / "f", O_RDONLY).value();
  BufferedReader reader(fd.get());
  std::string line;
  for (std::string_view expected : {"a\n", "\n", "bc\n"}) {
    EXPECT_EQ(read_bounded_line(reader, line).value(), expected.size());
    EXPECT_EQ(line, expected);
  }
  EXPECT_EQ(read_line_view(reader, line).value().size(), kMaxLineBytes);
  auto over = read_line_view(reader, line);
  EXPECT_EQ(over.error().kind(), IoErrorKind::InvalidData);
  EXPECT_EQ(over.error().message(), "WAL entry exceeds 16777216 bytes: found 16777217");
  spill(dir / "f", big + "yz");
  EXPECT_EQ(validate_chain_inner(dir / "f", std::nullopt).error().message(),
            "WAL I/O error: WAL entry exceeds 16777216 bytes: found 16777217");
  // A last line without its line feed, longer than the buffer, then the end.
  spill(dir / "f", "abc");
  auto small = open_path(dir / "f", O_RDONLY).value();
  BufferedReader two(small.get(), 2);
  EXPECT_EQ(read_bounded_line(two, line).value(), 3u);
  EXPECT_EQ(line, "abc");
  EXPECT_EQ(read_bounded_line(two, line).value(), 0u);
  EXPECT_TRUE(line.empty());
}

TEST(ChainWalkTest, BlankLinesCountForNothingButVerticalTabIsNotBlank) {
  EXPECT_TRUE(is_blank_line(" \t\n\f\r") && is_blank_line(""));
  EXPECT_FALSE(is_blank_line("\v\n"));
  TempDir dir;
  spill(dir / "log", entry_line(1, "genesis", "{\"a\":1}") + "\v\n");
  EXPECT_EQ(validate_chain_inner(dir / "log", std::nullopt).error().kind(), WalError::Kind::Json);
}

TEST(ChainWalkTest, VisitorSeesAcceptedEntriesAndCanStopTheWalk) {
  TempDir dir;
  std::string one = entry_line(1, "genesis", "1");
  std::string two = entry_line(2, parse_raw_entry(one).value().entry_hash, "2");
  spill(dir / "log", one + two);
  int seen = 0;
  auto head = validate_chain_inner(dir / "log", std::nullopt,
                                   [&](std::string_view,
                                       const RawWalEntry& e) -> std::expected<void, WalError> {
                                     ++seen;
                                     if (e.sequence == 2)
                                       return std::unexpected(WalError::sequence_continuity(9));
                                     return {};
                                   });
  EXPECT_EQ(seen, 2);
  EXPECT_EQ(head.error().message(), "WAL sequence continuity violation: found 9");
}

TEST(ChainWalkTest, KeyLengthIsCheckedBeforeTheFile) {
  EXPECT_EQ(validate_chain_inner("/nonexistent/log", std::string_view("short")).error().message(),
            "WAL I/O error: WAL HMAC key must be at least 32 bytes, found 5");
}

TEST(VerifyHeadTest, TestsInOrder) {
  WalAnchor a{std::string(kAnchorSchemaVersion), 2, "h", true};
  EXPECT_TRUE(verify_head(a, 2, "h", true).has_value());
  WalAnchor other = a;
  other.schema_version = "x";
  auto r = verify_head(other, 1, "g", false);
  EXPECT_EQ(r.error().io_error().kind(), IoErrorKind::InvalidData);
  EXPECT_EQ(r.error().message(), "WAL I/O error: unknown WAL anchor schema: x");
  r = verify_head(a, 1, "g", false);
  EXPECT_EQ(r.error().io_error().kind(), IoErrorKind::InvalidInput);
  r = verify_head(a, 2, "hh", true);
  EXPECT_EQ(
      r.error().message(),
      "WAL I/O error: WAL anchor mismatch: expected sequence 2 hash h, found sequence 2 hash hh");
}

TEST(WriterPiecesTest, LockNamesAndDirectories) {
  EXPECT_EQ(wal_lock_file_name(0xfe00, 0x12), "inode-000000000000fe00-0000000000000012.lock");
  TempDir dir;
  ASSERT_TRUE(create_directories(dir / "a/b/c").has_value());
  ASSERT_TRUE(create_directories(dir / "a/b/c").has_value());
  EXPECT_TRUE(std::filesystem::is_directory(dir / "a/b/c"));
  spill(dir / "file", "x");
  EXPECT_FALSE(create_directories(dir / "file/sub").has_value());
  EXPECT_EQ(create_directories(dir / "file").error().message(), "File exists (os error 17)");
}

TEST(WriterPiecesTest, MetadataDepthErrorIsPositionedLikeAReader) {
  std::string ok = std::string(kMaxMetadataDepth, '[') + std::string(kMaxMetadataDepth, ']');
  EXPECT_FALSE(metadata_depth_error(ok).has_value());
  // Brackets inside strings do not nest.
  EXPECT_FALSE(metadata_depth_error("[\"" + std::string(200, '[') + "\\\"\"]").has_value());
  std::string deep = "\n  {\"a\":" + std::string(kMaxMetadataDepth, '[') +
                     std::string(kMaxMetadataDepth, ']') + "}";
  auto e = metadata_depth_error(deep);
  ASSERT_TRUE(e.has_value());
  EXPECT_EQ(e->message(), "recursion limit exceeded at line 2 column 132");
}

// A log the writer created is not durable until its directory entry is: the
// first sync flushes the directory too, which fails once the directory is
// gone, while a writer that found the log existing only flushes the file.
TEST(WriterDurabilityTest, FirstSyncOfACreatedLogFlushesItsDirectory) {
  TempDir locks;
  ASSERT_EQ(::setenv("MORVATEL_WAL_LOCK_DIR", (locks / "locks").c_str(), 1), 0);
  for (bool existed : {false, true}) {
    TempDir dir;
    std::string sub = dir / "logs";
    ASSERT_EQ(::mkdir(sub.c_str(), 0700), 0);
    std::string log = join_path(sub, "audit.wal");
    if (existed) spill(log, "");
    auto writer = WalWriter::open(log, log, std::nullopt);
    ASSERT_TRUE(writer.has_value()) << writer.error().message();
    ASSERT_EQ(::unlink(log.c_str()), 0);
    ASSERT_EQ(::rmdir(sub.c_str()), 0);
    EXPECT_EQ(writer->sync().has_value(), existed) << "created log synced without its directory";
    EXPECT_EQ(writer->poisoned(), !existed);
  }
  ::unsetenv("MORVATEL_WAL_LOCK_DIR");
}

}  // namespace
}  // namespace morvatel::wal
