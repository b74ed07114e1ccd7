// Reading a value into one that already holds something reuses its
// strings, arrays and objects. These tests hold that to reading into a new
// value: the same value, lookups included, or the same error, from every
// prior content, on texts and every one-byte damage to them; and a value
// left by a failed reading reads the next text right.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "json/reader.h"
#include "json/value.h"
#include "json/writer.h"
#include "text.h"

namespace morvatel::json {
namespace {

std::string object_of(size_t n, const std::string& tail = "", const char* prefix = "k") {
  std::string s = "{";
  for (size_t i = 0; i < n; ++i)
    s += str_cat(i ? "," : "", "\"", prefix, i, "\":", i % 3 ? "\"v\"" : "[1,{}]");
  return s + tail + "}";
}

std::vector<std::string> texts() {
  return {
      R"({"tenant":"acme","trace":"0af7651916cd43dd8448eb211c80319c","cost":[1,2,3]})",
      R"({"tenant":"tenant-7","trace_id":"4bf92f3577b34da6a3ce929d0e0e1007","tags":["batch","region-3"],"queue_ms":49,"score":0.8})",
      R"({"a":1,"b":{"c":[true,null,"x\u00e9"]},"a":"again","b":2,"d":{"a":{"a":[]}}})",
      R"([{"x":1},{"x":"long enough to leave the small string buffer"},[],"s",-5,1e40,0.5])",
      R"({"tenant":[1,2],"trace":{"tenant":"acme"},"cost":"none"})",
      R"({"":0,"\u0041":"\"q\"","A":1})",
      "\"text\"",
      "[]",
      "{}",
      "null",
      object_of(15),
      object_of(16),
      object_of(17, ",\"k3\":\"repeat\""),
      object_of(24),
      object_of(30, ",\"k29\":0,\"k0\":1"),
      object_of(26, "", "j")};
}

// The value and every lookup into it, as text.
std::string show(const Value& v) {
  std::string out = to_compact(v);
  if (v.kind() == Value::Kind::Object) {
    for (const Member& m : v.as_object()) {
      const Value* found = v.find(m.key);
      out += str_cat(" [", m.key, "]=", found ? show(*found) : "missing");
    }
  } else if (v.kind() == Value::Kind::Array) {
    for (const Value& e : v.as_array()) out += " " + show(e);
  }
  return out;
}

std::string read_into(Value& v, const std::string& text) {
  Reader r(text);
  auto st = r.read_value(v);
  if (st) st = r.finish();
  return st ? show(v) : "error " + st.error().message();
}

void expect_same(const Value& prior, const std::string& text) {
  Value fresh;
  const std::string want = read_into(fresh, text);
  Value reused = prior;
  EXPECT_EQ(read_into(reused, text), want) << "prior " << to_compact(prior) << " text " << text;
  if (want.starts_with("error")) {
    // What a failed reading leaves must still take the next text.
    for (const std::string& next : texts()) {
      Value again;
      EXPECT_EQ(read_into(reused, next), read_into(again, next)) << text << " then " << next;
    }
  }
}

// Every text read once, as the value a later reading starts from.
std::vector<Value> read_all() {
  std::vector<Value> out;
  for (const std::string& t : texts()) {
    EXPECT_FALSE(read_into(out.emplace_back(), t).starts_with("error")) << t;
  }
  return out;
}

TEST(JsonValueReuse, ReadingOverAnyValueGivesWhatANewOneGets) {
  std::vector<Value> priors = read_all();
  priors.insert(priors.end(), {Value(), Value(uint64_t{7}), Value(std::string(40, 's'))});
  for (const Value& prior : priors) {
    for (const std::string& t : texts()) expect_same(prior, t);
  }
}

TEST(JsonValueReuse, DamagedTextsGiveTheSameValueOrError) {
  const std::vector<Value> priors = read_all();
  const std::vector<std::string> all = texts();
  for (size_t i = 0; i < 6; ++i) {
    for (size_t at = 0; at < all[i].size(); ++at) {
      std::string t = all[i];
      t.erase(at, 1);
      expect_same(priors[i], t);
      for (char c : std::string_view(" \"{}[],:0a\\\x01")) {
        t = all[i];
        t[at] = c;
        expect_same(priors[i], t);
        expect_same(priors[(i + 1) % 6], t);
        t = all[i];
        t.insert(at, 1, c);
        expect_same(priors[i], t);
      }
    }
  }
}

}  // namespace
}  // namespace morvatel::json
