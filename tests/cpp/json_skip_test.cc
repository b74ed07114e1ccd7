// The raw reader's quick pass over a value against the general one it sits
// in front of: whatever the quick pass accepts, the general one accepts
// with the same extent, on log lines as the writer makes them and on every
// one-byte damage to them, with and without vector instructions.

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "json/reader.h"
#include "json/skip.h"
#include "text.h"

namespace morvatel::json {

struct ReaderProbe {
  // The general skip from `pos`, `depth` containers deep: the end, or the
  // error's message.
  static std::string general(std::string_view text, size_t pos, int depth) {
    Reader r(text);
    r.pos_ = pos;
    r.depth_ = depth;
    auto s = r.skip_any();
    return s ? str_cat("end ", r.pos_) : s.error().message();
  }
};

namespace {

const std::pair<const char*, size_t (*)(std::string_view, size_t, int)> kWays[] = {
    {"vector", &scan::skip_value}, {"portable", &scan::skip_value_portable}};

// Checks one text at one start: returns whether the quick pass took it.
bool agrees(std::string_view text, size_t pos, int depth = 0) {
  const std::string general = ReaderProbe::general(text, pos, depth);
  for (const auto& [name, skip] : kWays) {
    if (const size_t end = skip(text, pos, depth); end != 0) {
      EXPECT_EQ(str_cat("end ", end), general) << name << " on: " << text << " from " << pos;
    }
  }
  // Both ways see the same bytes the same way.
  const size_t end = kWays[0].second(text, pos, depth);
  EXPECT_EQ(end, kWays[1].second(text, pos, depth)) << text;
  return end != 0;
}

// The first non-blank byte, where a line's value starts.
size_t start(std::string_view t) { return t.find_first_not_of(" \t\r\n") % (t.size() + 1); }

// `data` of real lines: the shapes the log holds, long strings and numbers
// crossing 64-byte blocks, and the escapes, UTF-8 and number forms the
// quick pass must either take exactly or leave.
std::vector<std::string> samples() {
  return {
      R"({"audit":{"schema_version":"morvatel.audit.v1","digest_algorithm":"sha256","proof_version":1,"policy_epoch":3,"catalog_epoch":5,"created_by":"morvatel","policy_digest_hex":"fe16d7057bb0068b1ea45b02c1c78d3266905cc03f0f395a6ef722337421a211","input_digest_hex":"03127597a6ebe3e5da7cf112b06b30dd6533eda7f5f02970d586ce6c64f2abd2","decision_digest_hex":"90fdf975cb743c2b3d7f25607ae809da8925cdef3aaa913658efb70147d049b7","replay_valid":true},"input":{"request_sequence":1,"requested_model_id":2,"input_tokens":501,"output_tokens":201,"business_value_microunits":5000000,"budget_limit_microunits":1000000000,"risk_bps":1,"confidence_bps":9000,"minimum_quality_bps":0,"max_p95_latency_ms":0,"required_capabilities":0,"allowed_provider_mask":18446744073709551615,"required_region_mask":0},"decision":{"request_sequence":1,"action":"Substitute","reason":"AlternativeMaximizesUtility","selected_model_id":8,"selected_model_index":7,"estimated_cost_microunits":2,"expected_utility_microunits":2365991,"counterfactual_model_id":7,"counterfactual_utility_microunits":2349342,"evaluated_models":8,"eligible_models":8,"policy_epoch":1,"catalog_epoch":1},"metadata":{"tenant":"acme","trace":"0af7651916cd43dd8448eb211c80319c","cost":[1,2,3]}})",
      R"({"tenant":"t-1","tags":["a","b\u00e9",3],"score":0.75,"n":-4,"deep":{"x":[{}]},"e":[1e3,-0,0.5E-7,18446744073709551616,123456789012345678901234567890]})",
      R"([ "\ud83d\ude00" , true,false,null, "q\"\\/\b\f\n\r\t", "héllo wörld ☃ 𝄞", {"k" :{ } , "l": [ ] } ] )",
      "{\"padding-to-cross-a-block-boundary-with-a-long-key-name-here-and-there\":\"" +
          std::string(150, 'x') + "\",\"n\":" + std::string(70, '7') + "}",
      "\"" + std::string(63, 'a') + "\"",
      "\t[1,\r\n2 ]"};
}

// The bytes damage is made of: structure, numbers, escapes, controls,
// broken UTF-8.
constexpr std::string_view kBytes = " \"{}[],:09-+e.xu\\nt\x01\x7f\xc3\xed\xff\t";

TEST(JsonSkip, TakesWhatTheWriterMakesAndAgreesFromEveryStart) {
  for (const std::string& s : samples()) {
    EXPECT_TRUE(agrees(s, start(s))) << s;
    for (size_t at = 0; at < s.size(); ++at) agrees(s, at);
  }
}

TEST(JsonSkip, EveryOneByteDamageAgrees) {
  size_t taken = 0;
  size_t tried = 0;
  for (const std::string& s : samples()) {
    for (size_t at = 0; at < s.size(); ++at) {
      std::string t = s;
      t.erase(at, 1);
      taken += agrees(t, start(t));
      for (char c : kBytes) {
        t = s;
        t[at] = c;
        taken += agrees(t, start(t));
        t = s;
        t.insert(at, 1, c);
        taken += agrees(t, start(t));
        tried += 2;
      }
      // Cut short: every prefix, which ends values, strings and numbers
      // at the end of the text.
      agrees(std::string_view(s).substr(0, at), 0);
    }
  }
  // Many damages leave valid JSON (a digit for a digit, inside a string).
  EXPECT_GT(taken, tried / 4);
}

TEST(JsonSkip, DepthLimitIsTheReadersCountedFromWhereItIs) {
  for (int depth : {0, 1, 5}) {
    for (int levels = kMaxDepth - 3 - depth; levels <= kMaxDepth - depth; ++levels) {
      for (bool arrays : {true, false}) {
        std::string t;
        for (int i = 0; i < levels; ++i) t += arrays ? "[" : "{\"k\":";
        t += "1" + std::string(levels, arrays ? ']' : '}');
        EXPECT_EQ(agrees(t, 0, depth), depth + levels < kMaxDepth) << depth << " " << levels;
      }
    }
  }
}

}  // namespace
}  // namespace morvatel::json
