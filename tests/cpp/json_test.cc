#include <gtest/gtest.h>

#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "json/record.h"
#include "json/value.h"
#include "json/writer.h"
#include "text.h"

namespace morvatel::json {
namespace {

// A record exercising every kind of field the persistence records use.
struct Inner {
  uint64_t step = 0;
  std::string name;
  bool operator==(const Inner&) const = default;
};

const RecordSpec& json_record_spec(const Inner*) {
  static const FieldSpec kFields[] = {field(&Inner::step, "step"), field(&Inner::name, "name")};
  static const RecordSpec kSpec{"Inner", kFields};
  return kSpec;
}

struct Outer {
  uint64_t version = 0;
  std::vector<Inner> items;
  std::optional<Inner> omitted;   // left out when absent
  std::optional<uint64_t> mark;   // null when absent, may end the array early
  bool operator==(const Outer&) const = default;
};

const RecordSpec& json_record_spec(const Outer*) {
  static const FieldSpec kFields[] = {
      field(&Outer::version, "version"),
      field(&Outer::items, "items"),
      field(&Outer::omitted, "omitted", kOmitWhenAbsent),
      field(&Outer::mark, "mark", kArrayTailDefault),
  };
  static const RecordSpec kSpec{"Outer", kFields};
  return kSpec;
}

struct Solo {
  uint8_t a = 0;
};
const RecordSpec& json_record_spec(const Solo*) {
  static const FieldSpec kFields[] = {field(&Solo::a, "a")};
  static const RecordSpec kSpec{"Solo", kFields};
  return kSpec;
}

template <typename T>
std::string error_of(std::string_view text) {
  auto r = parse<T>(text);
  return r ? "<accepted>" : r.error().message();
}

struct Case {
  const char* text;
  const char* message;
};

TEST(JsonValue, ErrorsCarryTheirMessageAndPosition) {
  const Case cases[] = {
      Case{"", "EOF while parsing a value at line 1 column 0"},
      Case{"[1,2", "EOF while parsing a list at line 1 column 4"},
      Case{"{\"a\":1", "EOF while parsing an object at line 1 column 6"},
      Case{"\"abc", "EOF while parsing a string at line 1 column 4"},
      Case{"[1,]", "trailing comma at line 1 column 4"},
      Case{"[1 2]", "expected `,` or `]` at line 1 column 4"},
      Case{"{\"a\":1 \"b\":2}", "expected `,` or `}` at line 1 column 8"},
      Case{"{\"a\" 1}", "expected `:` at line 1 column 6"},
      Case{"{1:2}", "key must be a string at line 1 column 2"},
      Case{"{}\n\f", "trailing characters at line 2 column 1"},
      Case{"x", "expected value at line 1 column 1"},
      Case{"tru", "EOF while parsing a value at line 1 column 3"},
      Case{"trUe", "expected ident at line 1 column 3"},
      Case{"01", "invalid number at line 1 column 2"},
      Case{"1.e3", "invalid number at line 1 column 3"},
      Case{"1e+", "EOF while parsing a value at line 1 column 3"},
      Case{"1e400", "number out of range at line 1 column 5"},
      Case{"\"\\u12G4\"", "invalid escape at line 1 column 7"},
      Case{"\"\\ud800\"", "unexpected end of hex escape at line 1 column 8"},
      Case{"\"\\ud800\\u0041\"", "lone leading surrogate in hex escape at line 1 column 13"},
      Case{"\"\\udc00\"", "lone leading surrogate in hex escape at line 1 column 7"},
      Case{"\"a\tb\"",
           "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 3"},
      Case{"\"\xff\"", "invalid unicode code point at line 1 column 3"},
      Case{"\"\xc0\xaf\"", "invalid unicode code point at line 1 column 4"},       // overlong
      Case{"\"\xed\xa0\x80\"", "invalid unicode code point at line 1 column 5"},   // surrogate
      Case{"\"\xf4\x90\x80\x80\"", "invalid unicode code point at line 1 column 6"},  // > U+10FFFF
      Case{"\"\xff\\q\"", "invalid escape at line 1 column 4"},  // earlier fault wins
      Case{"\xef\xbb\xbf{}", "expected value at line 1 column 1"}};
  for (const Case& c : cases) EXPECT_EQ(error_of<Value>(c.text), c.message) << c.text;
}

// The written form gives the kind away: a float always shows `.` or `e`.
TEST(JsonValue, NumbersKeepTheirKind) {
  for (const char* text :
       {"18446744073709551615 18446744073709551615", "18446744073709551616 1.8446744073709552e19",
        "-9223372036854775808 -9223372036854775808", "-9223372036854775809 -9.223372036854776e18",
        "-0 -0.0", "1E-7 1e-7", "1e15 1000000000000000.0", "1e16 1e16", "5e-324 5e-324",
        "-1e-400 -0.0", "1.7976931348623157e308 1.7976931348623157e308"}) {
    const std::string_view in(text, std::strchr(text, ' '));
    auto v = parse_value(in);
    ASSERT_TRUE(v) << text << ": " << v.error().message();
    EXPECT_EQ(str_cat(in, " ", to_compact(*v)), text);
  }
}

// Decimal fractions of up to 15 digits take a shortcut; with more digits,
// an exponent or a leading zero they do not. Either way the double must be
// the correctly rounded one.
TEST(JsonValue, DecimalFractionsReadAsTheNearestDouble) {
  std::mt19937_64 rng(11);
  for (int rep = 0; rep < 3000; ++rep) {
    const int more = static_cast<int>(rng() % 12);  // integer digits after the first
    std::string text = str_cat(rep % 2 ? "-" : "", more ? 1 + rng() % 9 : rng() % 10);
    for (int i = 0; i < more; ++i) text.push_back(static_cast<char>('0' + rng() % 10));
    text.push_back('.');
    for (int i = 1 + rng() % 9; i > 0; --i) text.push_back(static_cast<char>('0' + rng() % 10));
    double want = 0;
    std::from_chars(text.data(), text.data() + text.size(), want);
    auto v = parse_value(text + (rep % 3 ? "" : " "));
    ASSERT_TRUE(v && v->kind() == Value::Kind::F64) << text;
    EXPECT_EQ(std::signbit(v->as_f64()), std::signbit(want)) << text;
    EXPECT_EQ(v->as_f64(), want) << text;
  }
}

TEST(JsonValue, StringsDecodeEscapesAndSurrogatePairs) {
  auto v = parse_value(R"("\"\\\/\b\f\n\r\t\u0041\u00e9\ud83d\ude00\u20ac")");
  ASSERT_TRUE(v);
  EXPECT_EQ(v->as_string(), "\"\\/\b\f\n\r\tA\xc3\xa9\xf0\x9f\x98\x80\xe2\x82\xac");
  auto raw = parse_value("\"\xc3\xa9\xf0\x9f\x98\x80\x7f\"");
  ASSERT_TRUE(raw);
  EXPECT_EQ(raw->as_string(), "\xc3\xa9\xf0\x9f\x98\x80\x7f");
}

TEST(JsonValue, RepeatedKeyKeepsFirstPlaceAndLastValue) {
  auto v = parse_value(R"({"b":1,"a":2,"b":3})");
  ASSERT_TRUE(v);
  EXPECT_EQ(to_compact(*v), R"({"b":3,"a":2})");
}

TEST(JsonValue, LargeObjectsKeepOrderAndFindEveryKey) {
  Object o;
  auto key = [](int i) { return "k" + std::to_string((i * 7919) % 5000); };
  for (int i = 0; i < 5000; ++i) o.set(key(i), Value(i));
  EXPECT_EQ(o.members()[1].key, "k2919");  // insertion order, not key order
  for (int i = 0; i < 5000; ++i) ASSERT_EQ(o.find(key(i))->as_i64(), i);
  EXPECT_EQ(o.find("k5000"), nullptr);
  o.set("k0", Value("again"));
  EXPECT_EQ(o.size(), 5000u);
  EXPECT_EQ(o.members()[0].value.as_string(), "again");
}

std::string nested(int depth, char open, char close, const char* inner = "") {
  return std::string(depth, open) + inner + std::string(depth, close);
}

TEST(JsonDepth, StopsAtLevel128Everywhere) {
  EXPECT_TRUE(parse_value(nested(127, '[', ']')));
  const std::string limit = "recursion limit exceeded at line 1 column ";
  EXPECT_EQ(error_of<Value>(nested(128, '[', ']')), limit + "128");
  EXPECT_EQ(error_of<Value>(nested(100000, '[', ']')), limit + "128");
  std::string objects;
  for (int i = 0; i < 200; ++i) objects += "{\"a\":";
  EXPECT_EQ(error_of<Value>(objects), limit + "636");
  // Raw values are checked as deeply as parsed ones.
  const std::string deep = nested(128, '[', ']');
  Reader r(deep);
  auto raw = r.read_raw();
  ASSERT_FALSE(raw);
  EXPECT_EQ(raw.error().message(), limit + "128");
}

TEST(JsonRaw, GivesTheExactTextOfANestedValue) {
  std::string text = "[1, { \"a\" : [ 1.50 , \"\\u0041\" ] } ,2]";
  Reader r(text);
  ASSERT_TRUE(r.begin_sequence("a sequence"));
  bool first = true;
  ASSERT_TRUE(*r.next_element(first));
  ASSERT_TRUE(r.read_integer<uint8_t>());
  ASSERT_TRUE(*r.next_element(first));
  auto raw = r.read_raw();
  ASSERT_TRUE(raw);
  EXPECT_EQ(*raw, "{ \"a\" : [ 1.50 , \"\\u0041\" ] }");
  // Numbers in raw text are checked for their syntax only.
  Reader big("1e400");
  EXPECT_TRUE(big.read_raw());
}

// --- integers of every width -------------------------------------------------------

template <typename T>
std::string read_int(std::string_view text) {
  Reader r(text);
  auto v = r.read_integer<T>();
  if (!v) return v.error().message();
  if (auto f = r.finish(); !f) return f.error().message();
  return std::to_string(*v);
}

std::string bad(const char* what, const char* type, int column) {
  return str_cat("invalid ", what, ", expected ", type, " at line 1 column ", column);
}

TEST(JsonIntegers, EveryWidthTakesItsWholeRangeAndNothingElse) {
  const std::pair<std::string, std::string> cases[] = {
      {read_int<uint64_t>("18446744073709551615"), "18446744073709551615"},
      {read_int<uint64_t>("18446744073709551616"),
       bad("type: floating point `18446744073709552000.0`", "u64", 20)},
      {read_int<uint64_t>("-1"), bad("value: integer `-1`", "u64", 2)},
      {read_int<uint32_t>("4294967295"), "4294967295"},
      {read_int<uint32_t>("4294967296"), bad("value: integer `4294967296`", "u32", 10)},
      {read_int<uint16_t>("65535"), "65535"},
      {read_int<uint16_t>("65536"), bad("value: integer `65536`", "u16", 5)},
      {read_int<uint8_t>("255"), "255"},
      {read_int<uint8_t>(" 256 "), bad("value: integer `256`", "u8", 4)},
      {read_int<int64_t>("-9223372036854775808"), "-9223372036854775808"},
      {read_int<int64_t>("9223372036854775808"),
       bad("value: integer `9223372036854775808`", "i64", 19)},
      {read_int<int64_t>("-9223372036854775809"),
       bad("type: floating point `-9223372036854776000.0`", "i64", 20)},
      {read_int<int16_t>("-32769"), bad("value: integer `-32769`", "i16", 6)},
      {read_int<int64_t>("-0"), bad("type: floating point `-0.0`", "i64", 2)},
      // Floats show in plain decimal at every magnitude.
      {read_int<uint64_t>("1e2"), bad("type: floating point `100.0`", "u64", 3)},
      {read_int<uint64_t>("1e21"),
       bad("type: floating point `1000000000000000000000.0`", "u64", 4)},
      {read_int<uint64_t>("-1.5e-7"), bad("type: floating point `-0.00000015`", "u64", 7)},
      {read_int<uint64_t>("\"7\""), bad("type: string \"7\"", "u64", 3)},
      {read_int<uint64_t>("true"), bad("type: boolean `true`", "u64", 4)},
      {read_int<uint64_t>("null"), bad("type: null", "u64", 4)},
      {read_int<uint64_t>("[1]"), bad("type: sequence", "u64", 0)},
      {read_int<uint64_t>(" {}"), bad("type: map", "u64", 1)}};
  for (const auto& [got, want] : cases) EXPECT_EQ(got, want);
}

// Integers with enough text after them are read a word at a time, short
// texts digit by digit: both must give the same value or the same error, and
// the value must be the integer's. Digit counts cross the word boundaries
// (8, 16) and the edge of 64 bits (19, 20, 21).
TEST(JsonIntegers, WordAtATimeAgreesWithDigitByDigit) {
  auto check = [](const std::string& text) {
    const std::string padded = text + std::string(30, ' ');
    EXPECT_EQ(read_int<uint64_t>(text), read_int<uint64_t>(padded)) << text;
    EXPECT_EQ(read_int<int64_t>(text), read_int<int64_t>(padded)) << text;
    EXPECT_EQ(read_int<uint8_t>(text), read_int<uint8_t>(padded)) << text;
    EXPECT_EQ(read_int<int32_t>(text), read_int<int32_t>(padded)) << text;
    // Whatever reads as u64 is the integer the digits spell.
    uint64_t want = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), want);
    if (ec == std::errc() && end == text.data() + text.size() &&
        (text[0] != '0' || text.size() == 1)) {
      EXPECT_EQ(read_int<uint64_t>(padded), std::to_string(want));
    }
  };
  std::mt19937_64 rng(7);
  const std::string_view suffixes[] = {"", ".5", "e3", "E1", ".x", ",", "]", "x", "0"};
  for (int digits = 1; digits <= 22; ++digits) {
    for (int rep = 0; rep < 40; ++rep) {
      // Nines, or a 0 or 1 in front, to sit on the edge of 64 bits.
      std::string text = rep % 3 == 0 ? "-" : "";
      for (int i = 0; i < digits; ++i) {
        const int first = i > 0 ? -1 : rep % 7 == 3 ? 1 : rep % 5 == 2 ? 0 : -1;
        text += static_cast<char>('0' + (first >= 0 ? first : rep % 4 == 1 ? 9 : rng() % 10));
      }
      check(text + std::string(suffixes[rng() % std::size(suffixes)]));
    }
  }
  for (std::string text :
       {"18446744073709551615", "18446744073709551616", "-9223372036854775808",
        "-9223372036854775809", "12345678", "1234567890123456", "0", "-0", "00", "-01"}) {
    check(text);
  }
}

TEST(JsonStrings, FoundStringsAreQuotedWithDebugEscapes) {
  Reader r(R"("a\"b\\c\n\t\r\u0000\u0001\u007f\u0085é")");
  auto v = r.read_integer<uint64_t>();
  ASSERT_FALSE(v);
  EXPECT_EQ(
      v.error().description,
      "invalid type: string \"a\\\"b\\\\c\\n\\t\\r\\0\\u{1}\\u{7f}\\u{85}\xc3\xa9\", expected u64");
}

// --- records -------------------------------------------------------------------------

TEST(JsonRecord, ObjectAndArrayFormsReadTheSameRecord) {
  Outer want;
  want.version = 7;
  want.items = {{1, "x"}, {2, "y\n"}};
  want.mark = 9;
  EXPECT_EQ(parse<Outer>(R"({"mark":9,"items":[{"name":"x","step":1},[2,"y\n"]],"version":7})"),
            want);
  EXPECT_EQ(parse<Outer>(R"( [7, [[1,"x"],{"step":2,"name":"y\n"}], null, 9] )"), want);
  // A key is its decoded text, escaped or not.
  EXPECT_EQ(parse<Outer>(R"({"mark":9,"\u0069tems":[[1,"x"],[2,"y\n"]],"versio\u006e":7})"), want);
  // Missing or null optionals are absent; the tail-default field may be left off.
  want.mark.reset();
  EXPECT_EQ(parse<Outer>(R"({"version":7,"items":[[1,"x"],[2,"y\n"]],"omitted":null})"), want);
  EXPECT_EQ(parse<Outer>(R"([7,[[1,"x"],[2,"y\n"]],null])"), want);
  EXPECT_EQ(parse<Outer>(R"([7,[[1,"x"],[2,"y\n"]],null,null])"), want);
}

TEST(JsonRecord, WriterLeavesOutOrNullsAbsentFieldsAsDeclared) {
  Outer o;
  o.version = 1;
  EXPECT_EQ(to_string(o), R"({"version":1,"items":[],"mark":null})");
  o.omitted = Inner{3, "é\u0001"};
  o.mark = 4;
  EXPECT_EQ(to_string(o),
            R"({"version":1,"items":[],"omitted":{"step":3,"name":"é\u0001"},"mark":4})");
  EXPECT_EQ(parse<Outer>(to_string(o)), o);
}

TEST(JsonRecord, ErrorsCarryTheirMessageAndPosition) {
  const Case cases[] = {
      Case{"42", "invalid type: integer `42`, expected struct Outer at line 1 column 2"},
      // Unknown key: at once, even before missing ones; at the key's closing quote.
      Case{R"({"note":1})",
           "unknown field `note`, expected one of `version`, `items`, `omitted`, `mark` at line "
           "1 column 7"},
      Case{R"({"version":1,"version":2})", "duplicate field `version` at line 1 column 22"},
      // Keys that only begin or end like the next field's name are other keys.
      Case{R"({"version":1,"itemsx":[]})",
           "unknown field `itemsx`, expected one of `version`, `items`, `omitted`, `mark` at "
           "line 1 column 21"},
      Case{R"({"version":1,"item":[]})",
           "unknown field `item`, expected one of `version`, `items`, `omitted`, `mark` at line "
           "1 column 19"},
      Case{R"({"version":1,"\u0076ersion":2})", "duplicate field `version` at line 1 column 27"},
      Case{R"({"items":[]})", "missing field `version` at line 1 column 12"},
      Case{"{\"version\":1\n }", "missing field `items` at line 2 column 2"},
      Case{"[1]", "invalid length 1, expected struct Outer with 4 elements at line 1 column 3"},
      Case{"[1,[],null,2,3]", "trailing characters at line 1 column 14"},
      Case{"[1,[],null,2,]", "trailing comma at line 1 column 14"},
      Case{R"({"version":1,"items":{}})",
           "invalid type: map, expected a sequence at line 1 column 21"},
      Case{R"({"version":1,"items":[5]})",
           "invalid type: integer `5`, expected struct Inner at line 1 column 23"},
      Case{R"({"version":1,"items":[[1]]})",
           "invalid length 1, expected struct Inner with 2 elements at line 1 column 25"},
      Case{R"({"version":1,"items":[{"step":1,"x":2}]})",
           "unknown field `x`, expected `step` or `name` at line 1 column 35"},
      Case{R"({"version":1,"items":[],"omitted":{"step":1,"name":2}})",
           "invalid type: integer `2`, expected a string at line 1 column 52"}};
  for (const Case& c : cases) EXPECT_EQ(error_of<Outer>(c.text), c.message) << c.text;
}

// Two names read "`a` or `b`" (Inner, above); one name is given alone.
TEST(JsonRecord, ListOfOneNameIsWrittenOut) {
  EXPECT_EQ(error_of<Solo>(R"({"b":1})"), "unknown field `b`, expected `a` at line 1 column 4");
}

// --- writers ------------------------------------------------------------------------

Value sample() {
  Object k;
  k.set("k", Value(Array{Value()}));
  Object nested;
  nested.set("list",
             Value(Array{Value(-2), Value(uint64_t{18446744073709551615u}),
                         Value(int64_t{-9223372036854775807 - 1}), Value(Array{}), Value(Object{}),
                         Value(Array{Value(Array{})}), Value(std::move(k))}));
  Object o;
  o.set("s",
        Value(std::string("a\"b\\c\n\r\t\b\f") + std::string(1, '\0') + "\x1f\x7f \xc3\xa9 /"));
  o.set("n", Value());
  o.set("t", Value(true));
  o.set("f", Value(false));
  o.set("nested", Value(std::move(nested)));
  o.set("zero", Value(0));
  return Value(std::move(o));
}

// Expected texts generated with Python's json.dumps(v, separators=(",", ":"),
// ensure_ascii=False) and json.dumps(v, indent=2, ensure_ascii=False).
TEST(JsonWriter, CompactAndIndentedMatchTheReferenceBytes) {
  const Value v = sample();
  EXPECT_EQ(to_compact(v),
            "{\"s\":\"a\\\"b\\\\c\\n\\r\\t\\b\\f\\u0000\\u001f\x7f \xc3\xa9 /\",\"n\":null,"
            "\"t\":true,\"f\":false,\"nested\":{\"list\":[-2,18446744073709551615,"
            "-9223372036854775808,[],{},[[]],{\"k\":[null]}]},\"zero\":0}");
  EXPECT_EQ(to_indented(v),
            "{\n  \"s\": \"a\\\"b\\\\c\\n\\r\\t\\b\\f\\u0000\\u001f\x7f \xc3\xa9 /\",\n"
            "  \"n\": null,\n  \"t\": true,\n  \"f\": false,\n  \"nested\": {\n    \"list\": [\n"
            "      -2,\n      18446744073709551615,\n      -9223372036854775808,\n      [],\n"
            "      {},\n      [\n        []\n      ],\n      {\n        \"k\": [\n          null\n"
            "        ]\n      }\n    ]\n  },\n  \"zero\": 0\n}");
  EXPECT_EQ(to_indented(Value(Array{Value(1)})), "[\n  1\n]");
}

// The string escaper as it was before it scanned in blocks.
std::string escaped_byte_by_byte(std::string_view s) {
  constexpr std::string_view kNamed = "\"\\\b\t\n\f\r", kLetters = "\"\\btnfr";
  std::string out = "\"";
  for (unsigned char c : s) {
    if (const size_t at = kNamed.find(static_cast<char>(c)); at != kNamed.npos) {
      out += {'\\', kLetters[at]};
    } else if (c < 0x20) {
      out += str_cat("\\u00", "0123456789abcdef"[c >> 4], "0123456789abcdef"[c & 15]);
    } else {
      out.push_back(static_cast<char>(c));
    }
  }
  return out + "\"";
}

TEST(JsonWriter, BlockScanningEscaperAgreesWithByteByByte) {
  std::mt19937 rng(7);
  // Escapes at every offset around the 16-byte blocks, and every byte.
  for (int round = 0; round < 20000; ++round) {
    std::string s(rng() % 70, 'a');
    for (char& c : s) {
      const unsigned r = rng() % 16;
      c = static_cast<char>(r == 0 ? rng() % 256 : r == 1 ? '"' : r == 2 ? '\\' : 'a' + r);
    }
    std::string out;
    append_string(out, s);
    ASSERT_EQ(out, escaped_byte_by_byte(s)) << round;
  }
}

struct FailingSink final : Sink {
  size_t budget = 20000;
  int writes_after_failure = -1;
  Result<void> write(std::string_view bytes) override {
    if (writes_after_failure >= 0 || bytes.size() > budget) {
      ++writes_after_failure;
      return std::unexpected(Error::io("No space left (os error 28)"));
    }
    budget -= bytes.size();
    return {};
  }
};

TEST(JsonWriter, StopsAtTheFirstSinkFailureAndReportsItWithoutPosition) {
  FailingSink sink;
  auto r = write_value(sink, Value(Array(10000, Value("0123456789"))));
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().category, Error::Category::Io);
  EXPECT_EQ(r.error().message(), "No space left (os error 28)");
  EXPECT_EQ(sink.writes_after_failure, 0);
}

// --- property: write then read gives the value back -----------------------------------

Value random_value(std::mt19937_64& rng, int depth) {
  static const char* const kPieces[] = {"a",    "\"",       "\\",
                                        "\n",   "\x01",     "\x1f",
                                        "\x7f", "\xc3\xa9", "\xf0\x9f\x98\x80",
                                        "/",    " ",        "\t"};
  const uint64_t r = rng();
  const size_t n = r % 12;
  switch (rng() % (depth > 4 ? 6 : 8)) {
    case 0: return Value();
    case 1: return Value(r % 2 == 0);
    case 2: return Value(r >> (rng() % 64));
    case 3: return Value(-static_cast<int64_t>(1 + (r >> (1 + rng() % 63))));
    case 4: {
      const double d = std::bit_cast<double>(r);  // not zero: its kind depends on its sign
      return std::isfinite(d) && d != 0 ? Value(d) : random_value(rng, depth);
    }
    case 5: {
      std::string s;
      for (size_t i = 0; i < n; ++i) s += kPieces[rng() % std::size(kPieces)];
      return Value(std::move(s));
    }
    case 6: {
      Array a;
      for (size_t i = 0; i < n % 5; ++i) a.push_back(random_value(rng, depth + 1));
      return Value(std::move(a));
    }
    default: {
      Object o;
      for (size_t i = 0; i < n % 5; ++i)
        o.set(str_cat("k", rng() % 8), random_value(rng, depth + 1));
      return Value(std::move(o));
    }
  }
}

TEST(JsonProperty, WritingThenReadingGivesTheValueBack) {
  std::mt19937_64 rng(20261206);
  for (int i = 0; i < 3000; ++i) {
    const Value v = random_value(rng, 0);
    for (const std::string& text : {to_compact(v), to_indented(v)}) {
      auto back = parse_value(text);
      ASSERT_TRUE(back) << text << ": " << back.error().message();
      ASSERT_EQ(*back, v) << text;
      ASSERT_EQ(to_compact(*back), to_compact(v));  // reading is a fixed point of writing
    }
  }
}

}  // namespace
}  // namespace morvatel::json
