// Feeds arbitrary bytes to the JSON reader and the kernel record readers.
// Beyond "no crash, no sanitizer report", it checks the round trips that
// the log depends on: whatever is accepted, written again, reads back to an
// equal value, and writing is a fixed point after one normalisation.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <optional>
#include <vector>

#include "fuzz_check.h"
#include "json/reader.h"
#include "json/record.h"
#include "json/skip.h"
#include "json/value.h"
#include "json/writer.h"
#include "kernel/json_forms.h"

namespace morvatel {
namespace {

// A record with every field kind the persistence records use: nested
// records, a list of them, omitted and null optionals, a tail default,
// raw text and a generic value.
struct Row {
  std::string id;
  int64_t amount = 0;
  bool operator==(const Row&) const = default;
};
const json::RecordSpec& json_record_spec(const Row*) {
  static const json::FieldSpec kFields[] = {json::field(&Row::id, "id"),
                                            json::field(&Row::amount, "amount")};
  static const json::RecordSpec kSpec{"Row", kFields};
  return kSpec;
}

struct Doc {
  uint64_t version = 0;
  std::vector<Row> rows;
  std::optional<Row> extra;
  json::RawJson raw;
  json::Value meta;
  bool flag = false;
  std::optional<uint32_t> mark;
  bool operator==(const Doc&) const = default;
};
const json::RecordSpec& json_record_spec(const Doc*) {
  static const json::FieldSpec kFields[] = {
      json::field(&Doc::version, "version"),
      json::field(&Doc::rows, "rows"),
      json::field(&Doc::extra, "extra", json::kOmitWhenAbsent),
      json::field(&Doc::raw, "raw"),
      json::field(&Doc::meta, "meta"),
      json::field(&Doc::flag, "flag"),
      json::field(&Doc::mark, "mark", json::kArrayTailDefault)};
  static const json::RecordSpec kSpec{"Doc", kFields};
  return kSpec;
}

std::string to_json(const Doc& d) { return json::to_string(d); }

}  // namespace

namespace json {

// The general skip, which the quick one must agree with wherever it
// accepts.
struct ReaderProbe {
  static bool general(std::string_view text, size_t pos, int depth, size_t& end) {
    Reader r(text);
    r.pos_ = pos;
    r.depth_ = depth;
    if (!r.skip_any()) return false;
    end = r.pos_;
    return true;
  }
};

}  // namespace json
}  // namespace morvatel

namespace {

using namespace morvatel;

using morvatel::fuzzing::check;

template <typename T>
void record_round_trip(std::string_view text) {
  auto r = json::parse<T>(text);
  if (!r) {
    check(!r.error().message().empty());
    return;
  }
  std::string out = to_json(*r);
  auto back = json::parse<T>(out);
  check(back.has_value() && *back == *r);
}

template <typename T>
void same_when_padded(std::string_view text, std::string_view padded) {
  auto a = json::parse<T>(text);
  auto b = json::parse<T>(padded);
  check(a.has_value() == b.has_value());
  if (a) check(*a == *b);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);

  auto v = json::parse_value(text);
  if (v) {
    std::string compact = json::to_compact(*v);
    auto again = json::parse_value(compact);
    check(again.has_value() && *again == *v);
    check(json::to_compact(*again) == compact);
    auto indented = json::parse_value(json::to_indented(*v));
    check(indented.has_value() && *indented == *v);
  } else {
    check(v.error().line >= 1);
  }

  json::Reader raw_reader(text);
  auto raw = raw_reader.read_raw();
  if (raw) {
    check(raw->data() >= text.data() && raw->data() + raw->size() <= text.data() + text.size());
    // Whatever the value reader accepts, the raw reader accepts with the
    // same extent.
    if (v) check(raw_reader.finish().has_value());
  } else {
    check(!v.has_value());
  }

  // The quick skip of raw values only ever accepts what the general one
  // does, with the same extent, from wherever it starts and at any depth.
  for (size_t pos : {size_t{0}, text.find_first_not_of(" \t\r\n") % (size + 1)}) {
    for (int depth : {0, 120}) {
      const size_t quick = json::scan::skip_value(text, pos, depth);
      check(quick == json::scan::skip_value_portable(text, pos, depth));
      size_t end = 0;
      if (quick != 0) check(json::ReaderProbe::general(text, pos, depth, end) && end == quick);
    }
  }

  // Reading into a value that holds something gives what reading into a
  // new one gives, and so does reading into what a failed reading left.
  {
    auto prior = json::parse_value(
        R"({"a":"a string longer than fifteen","b":[1,{"c":2}],"a":null})");
    for (int i = 0; i < 2; ++i) {
      json::Reader r(text);
      auto st = r.read_value(*prior);
      if (st) st = r.finish();
      check(st.has_value() == v.has_value());
      if (st) check(*prior == *v);
    }
  }

  record_round_trip<KernelInput>(text);
  record_round_trip<KernelDecision>(text);
  record_round_trip<Doc>(text);

  // Whitespace after the document changes nothing, but it puts short
  // numbers and strings on the paths that read a word at a time, so the two
  // ways of reading them are checked against each other.
  std::string padded(text);
  padded.append(32, ' ');
  auto pv = json::parse_value(padded);
  check(pv.has_value() == v.has_value());
  if (v) check(*pv == *v);
  same_when_padded<KernelInput>(text, padded);
  same_when_padded<Doc>(text, padded);
  return 0;
}
