// The replay reads each line once, decoding the record as the line is
// read. These tests hold it to the result of reading the line twice, as
// the chain walk does and then again strictly with its record, over many
// generated and damaged lines: the same entry, or the same error with the
// same text and position, and the same head afterwards.

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "kernel/prescribe.h"
#include "temp_dir.h"
#include "text.h"
#include "verify.h"
#include "wal/chain.h"
#include "wal/replay.h"
#include "wal_two_pass.h"

namespace morvatel::wal {
namespace {

using testing::one_pass;
using testing::replay_pass;
using testing::two_pass;

// Runs both readings from the same chain state and compares everything,
// with `data` as the replay's record and as recovery planning's generic
// value. Returns whether the line was accepted with its record.
bool expect_same(const std::string& line, const ChainCursor& from, ReplayEntry* reused = nullptr) {
  ChainCursor a = from;
  ChainCursor b = from;
  std::string old_way = two_pass<AuditedRecord>(a, line);
  EXPECT_EQ(reused ? one_pass<AuditedRecord>(b, line, std::move(*reused))
                   : one_pass<AuditedRecord>(b, line),
            old_way)
      << "line: " << line;
  ChainCursor c = from;
  ChainCursor d = from;
  EXPECT_EQ(one_pass<json::Value>(d, line), two_pass<json::Value>(c, line)) << "line: " << line;
  return old_way.starts_with("ok ");
}

PolicySnapshot snapshot() {
  std::vector<KernelModel> models;
  for (uint32_t i = 0; i < 4; ++i) {
    models.push_back(KernelModel{i + 1, static_cast<uint16_t>(i), 9000, 9000, 1, 50 + i, 0xFF, 1,
                                 1000 + 13 * i, 2000 + 7 * i});
  }
  return *try_new_trusted(PolicyParams{3, 5, 9000, 1000, 10000, 1}, models);
}

// Compact record texts as the writer makes them, with assorted metadata.
std::vector<std::string> records() {
  PolicySnapshot s = snapshot();
  const char* metas[] = {
      "null", R"({"tenant":"t-1","tags":["a","b\u00e9",3],"score":0.75,"n":-4,"deep":{"x":[{}]}})",
      R"([1e3,-0,18446744073709551616,"\ud83d\ude00",true,false,"q\"\\/"])", R"("plain")"};
  std::vector<std::string> out;
  for (uint32_t i = 0; i < 4; ++i) {
    KernelInput input{.request_sequence = i + 1,
                      .requested_model_id = i + 1,
                      .input_tokens = 500,
                      .output_tokens = 200,
                      .business_value_microunits = 5000000,
                      .budget_limit_microunits = 1000000000,
                      .risk_bps = static_cast<uint16_t>(100 * i),
                      .confidence_bps = 9000,
                      .required_capabilities = 3,
                      .allowed_provider_mask = ~0ULL};
    KernelDecision decision = prescribe_inner(s, input).decision;
    out.push_back(json::to_string(AuditedRecord{audit_bundle(s, input, decision), input, decision,
                                                json::parse_value(metas[i]).value()}));
  }
  return out;
}

std::string line_for(uint64_t seq, std::string_view prev, std::string_view data) {
  return format_line(seq, prev, compute_hash(prev, data, std::nullopt).value(), data);
}

// Damage at one place: a byte removed, inserted or replaced.
std::string damaged(const std::string& text, size_t at, int how) {
  constexpr std::string_view kBytes = " \"{}[],:09-e.x\\n\x01\x7f\xc3\xff\t\f";
  std::string t = text;
  const char c = kBytes[(at + static_cast<size_t>(how)) % kBytes.size()];
  switch (how % 3) {
    case 0: t.erase(at, 1); break;
    case 1: t.insert(at, 1, c); break;
    default: t[at] = c; break;
  }
  return t;
}

TEST(ReplayLineTest, GoodLinesInEveryFormReadTheSame) {
  ChainCursor genesis(std::nullopt);
  for (const std::string& data : records()) {
    std::string hash = compute_hash("genesis", data, std::nullopt).value();
    const std::string forms[] = {
        line_for(1, "genesis", data),
        str_cat(" \t{ \"data\" : ", data, " ,\"entry_hash\":\"", hash,
                "\",\"sequence\":1,\"previous_hash\":\"genesis\"}\r\n"),
        str_cat("[1,\"genesis\",\"", hash, "\",", data, "]"),
        str_cat("{\"sequence\":1,\"previous_hash\":\"gen\\u0065sis\",\"entry_hash\":\"", hash,
                "\",\"data\":\n", data, "\n}"),
    };
    for (const std::string& line : forms) EXPECT_TRUE(expect_same(line, genesis)) << line;
  }
  // Other values as `data`: only the generic reading takes them, and the
  // text it hashes ends where each value ends, before any whitespace.
  for (std::string data :
       {"12", "-0.5e3", "\"s\\u00e9\"", "null", "true", "[1, {\"a\":[]}]", "{}"}) {
    std::string hash = compute_hash("genesis", data, std::nullopt).value();
    expect_same(str_cat("{\"sequence\":1,\"previous_hash\":\"genesis\",\"entry_hash\":\"", hash,
                        "\",\"data\": \t", data, " \r\n}"),
                genesis);
    ChainCursor c = genesis;
    EXPECT_TRUE(one_pass<json::Value>(c, line_for(1, "genesis", data)).starts_with("ok ")) << data;
  }
}

TEST(ReplayLineTest, DamagedLinesGiveTheSameErrors) {
  ChainCursor genesis(std::nullopt);
  size_t accepted = 0;
  for (const std::string& data : records()) {
    // Damage anywhere on the line: mostly JSON or chain faults.
    const std::string line = line_for(1, "genesis", data);
    for (size_t at = 0; at < line.size(); ++at) {
      for (int how = 0; how < 3; ++how) expect_same(damaged(line, at, how), genesis);
    }
    // Damage inside `data` with the hash recomputed, so that the chain holds
    // and the record's own faults (and their positions in the line) show.
    for (size_t at = 0; at < data.size(); ++at) {
      for (int how = 0; how < 3; ++how)
        accepted += expect_same(line_for(1, "genesis", damaged(data, at, how)), genesis);
    }
  }
  EXPECT_GT(accepted, 0u);  // some damage leaves a valid record (metadata, say)
}

TEST(ReplayLineTest, RandomDamageAcrossAChain) {
  std::mt19937_64 rng(20261206);
  std::vector<std::string> data = records();
  ReplayEntry reused;  // carried from line to line and round to round
  for (int round = 0; round < 400; ++round) {
    ChainCursor chain(std::nullopt);
    std::string prev = "genesis";
    for (uint64_t seq = 1; seq <= 3; ++seq) {
      std::string d = data[rng() % data.size()];
      const int hits = static_cast<int>(rng() % 4);
      for (int k = 0; k < hits && !d.empty(); ++k)
        d = damaged(d, rng() % d.size(), static_cast<int>(rng() % 3));
      std::string line = line_for(seq, prev, d);
      if (rng() % 4 == 0) line = damaged(line, rng() % line.size(), static_cast<int>(rng() % 3));
      if (!expect_same(line, chain, &reused)) break;
      (void)replay_pass(chain, line);
      prev = chain.head().last_hash;
    }
  }
}

TEST(ReplayLineTest, ChainFaultsComeBeforeRecordFaults) {
  // A record that does not read, on a line whose chain fails: the chain
  // fault is reported, as the chain walk reports it.
  std::string bad = records()[0];
  bad.insert(1, "\"extra\":1,");
  const ChainCursor genesis(std::nullopt);
  const std::pair<std::string, const char*> cases[] = {
      {line_for(2, "genesis", bad), "3: WAL sequence continuity violation: found 2"},
      {line_for(1, "other", bad),
       "2: WAL chain broken at sequence 1: expected genesis, found other"},
      {format_line(1, "genesis", std::string(64, '0'), bad),
       "2: WAL chain broken at sequence 1: expected "},
      {line_for(UINT64_MAX, "genesis", bad),
       "3: WAL sequence continuity violation: found 18446744073709551615"},
      {line_for(1, "genesis", bad), "1: WAL JSON error: unknown field `extra`"}};
  for (const auto& [line, expected] : cases) {
    expect_same(line, genesis);
    ChainCursor c = genesis;
    const std::string got = replay_pass(c, line);
    EXPECT_TRUE(got.starts_with(str_cat("error ", expected))) << got;
  }
}

// Each entry is audited as soon as it is read, yet what is reported is as if
// the audits ran after the whole file: a reading fault anywhere first, then
// the entry count, then the first audit failure.
TEST(ReplayVerifyTest, AuditFailuresAreReportedAsIfAuditedAfterReading) {
  TempDir dir;
  const std::string path = dir / "log";
  const std::vector<std::string> data = records();
  std::string bad_bundle = data[0];
  bad_bundle.replace(bad_bundle.find("\"created_by\":\"morvatel\""), 23,
                     "\"created_by\":\"someone!\"");
  std::string bad_decision = data[2];
  bad_decision.replace(bad_decision.find("\"eligible_models\":"), 18, "\"eligible_models\":9");
  std::string extra_key = data[3];
  extra_key.insert(1, "\"extra\":1,");
  auto replay = [&](const std::vector<std::string>& records, uint64_t max_entries) {
    std::string text;
    std::string prev = "genesis";
    for (size_t i = 0; i < records.size(); ++i) {
      text += line_for(i + 1, prev, records[i]);
      prev = compute_hash(prev, records[i], std::nullopt).value();
    }
    spill(path, text);
    auto r = replay_verify(path, snapshot(), std::nullopt, max_entries, kDefaultMaxReplayBytes);
    return r ? str_cat("ok ", r->size()) : r.error().message();
  };
  const std::string too_many =
      "WAL I/O error: WAL entry count exceeds configured limit: found 3, limit 2";
  EXPECT_EQ(replay({bad_bundle, data[1], bad_decision}, 3),
            "WAL audit failed at sequence 1: non-canonical audit bundle: unsupported audit "
            "created_by value: someone!");
  EXPECT_EQ(replay({bad_bundle, data[1], bad_decision}, 2), too_many);
  EXPECT_EQ(replay({data[0], data[1], bad_decision}, 2), too_many);
  EXPECT_TRUE(replay({bad_bundle, data[1], extra_key}, 3)
                  .starts_with("WAL JSON error: unknown field `extra`"));
}

}  // namespace
}  // namespace morvatel::wal
