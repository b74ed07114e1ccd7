// What a string may hold, at every offset the scans for plain bytes can
// meet it: the reader's sixteen bytes at a time and its byte-wise tail, and
// the quick pass's 64-byte blocks. Every control byte is refused with the
// reader's message at its own position; every escape, the plain bytes at
// either edge of the range and every length of multibyte character are
// taken. A scan that misjudges one byte value at one lane shows here,
// whichever way the document reaches it.

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <utility>

#include "json/reader.h"
#include "json/skip.h"
#include "text.h"

namespace morvatel::json {
namespace {

// Long enough to cross two 64-byte blocks and to end in the byte-wise tail.
constexpr size_t kLength = 150;

// Where a string stands in a document: alone, in an array, as a key.
struct Shape {
  const char* name;
  std::string_view open;
  std::string_view close;
};
constexpr Shape kShapes[] = {{"string", "\"", "\""},
                             {"array", "[\"", "\"]"},
                             {"key", "{\"", "\":0}"}};

// `piece` at `offset` in a string of plain letters.
std::string body(size_t offset, std::string_view piece) {
  return str_cat(std::string(offset, 'a'), piece, std::string(kLength - offset, 'b'));
}

std::string message_of(const Error& e) { return e.message(); }

// Every way a document is read, each giving "ok:" and what it read, or the
// error's message; the quick passes give the end they found (0: not taken).
struct Readings {
  std::string value, string, raw;
  size_t skip_vector, skip_portable;
};

Readings read_all(const std::string& doc, bool is_string) {
  Readings out;
  auto as_text = [](const auto& r, auto show) {
    return r ? str_cat("ok:", show(*r)) : message_of(r.error());
  };
  {
    Reader r(doc);
    out.value = as_text(r.read_value(), [](const Value& v) {
      if (v.kind() == Value::Kind::String) return std::string(v.as_string());
      if (v.kind() == Value::Kind::Array) return std::string(v.as_array()[0].as_string());
      return v.as_object().begin()->key;
    });
  }
  if (is_string) {
    Reader r(doc);
    out.string = as_text(r.read_string(), [](const std::string& s) { return s; });
  }
  {
    Reader r(doc);
    out.raw = as_text(r.read_raw(), [](std::string_view s) { return std::string(s); });
  }
  out.skip_vector = scan::skip_value(doc, 0, 0);
  out.skip_portable = scan::skip_value_portable(doc, 0, 0);
  return out;
}

TEST(JsonStringBytes, EveryControlByteAtEveryOffsetIsRefusedWhereItStands) {
  for (const Shape& shape : kShapes) {
    for (int c = 0x00; c <= 0x1F; ++c) {
      for (size_t offset = 0; offset <= kLength; ++offset) {
        const std::string doc =
            str_cat(shape.open, body(offset, std::string(1, static_cast<char>(c))), shape.close);
        const size_t at = shape.open.size() + offset;  // the control byte, from 0
        const std::string want =
            str_cat("control character (\\u0000-\\u001F) found while parsing a string at ",
                    c == '\n' ? "line 2 column 0" : str_cat("line 1 column ", at + 1));
        const bool is_string = shape.name == std::string_view("string");
        const Readings got = read_all(doc, is_string);
        const auto where = [&] { return str_cat(shape.name, " byte ", c, " at ", offset); };
        EXPECT_EQ(got.value, want) << where();
        if (is_string) {
          EXPECT_EQ(got.string, want) << where();
        }
        EXPECT_EQ(got.raw, want) << where();
        EXPECT_EQ(got.skip_vector, 0u) << where();
        EXPECT_EQ(got.skip_portable, 0u) << where();
      }
    }
  }
}

TEST(JsonStringBytes, EscapesAndMultibyteCharactersAtEveryOffsetAreTaken) {
  // Each form as written, and the text it stands for.
  const std::pair<std::string_view, std::string_view> forms[] = {
      {"\\\"", "\""},
      {"\\\\", "\\"},
      {"\\/", "/"},
      {"\\b", "\b"},
      {"\\f", "\f"},
      {"\\n", "\n"},
      {"\\r", "\r"},
      {"\\t", "\t"},
      {"\\u001f", "\x1f"},
      {" ", " "},      // the first byte past the controls
      {"\x7f", "\x7f"},  // the last ASCII byte
      {"\\u00e9", "\xc3\xa9"},
      {"\\ud834\\udd1e", "\xf0\x9d\x84\x9e"},
      {"\xc3\xa9", "\xc3\xa9"},  // two bytes
      {"\xe2\x98\x83", "\xe2\x98\x83"},          // three
      {"\xf0\x9d\x84\x9e", "\xf0\x9d\x84\x9e"},  // four
  };
  for (const Shape& shape : kShapes) {
    for (const auto& [written, meant] : forms) {
      for (size_t offset = 0; offset <= kLength; ++offset) {
        const std::string doc = str_cat(shape.open, body(offset, written), shape.close);
        const std::string decoded = str_cat("ok:", body(offset, meant));
        const bool is_string = shape.name == std::string_view("string");
        const Readings got = read_all(doc, is_string);
        const auto where = [&] { return str_cat(shape.name, " ", written, " at ", offset); };
        EXPECT_EQ(got.value, decoded) << where();
        if (is_string) {
          EXPECT_EQ(got.string, decoded) << where();
        }
        EXPECT_EQ(got.raw, str_cat("ok:", doc)) << where();
        EXPECT_EQ(got.skip_vector, doc.size()) << where();
        EXPECT_EQ(got.skip_portable, doc.size()) << where();
      }
    }
  }
}

}  // namespace
}  // namespace morvatel::json
