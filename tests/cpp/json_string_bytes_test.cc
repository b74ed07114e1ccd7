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

// Reads `doc` every way there is and checks what each gives: `read` from the
// value reader and, for a lone string, the string reader ("ok:" and the
// string, or the error's message); `raw` from the raw reader; `end` from
// both quick passes (0: not taken).
void expect_read(const Shape& shape, const std::string& doc, const std::string& read,
                 const std::string& raw, size_t end, const std::string& where) {
  auto as_text = [](const auto& r, auto show) {
    return r ? str_cat("ok:", show(*r)) : r.error().message();
  };
  Reader values(doc);
  EXPECT_EQ(as_text(values.read_value(),
                    [](const Value& v) {
                      if (v.kind() == Value::Kind::String) return std::string(v.as_string());
                      if (v.kind() == Value::Kind::Array) return v.as_array()[0].as_string();
                      return v.as_object().begin()->key;
                    }),
            read)
      << where;
  if (shape.open == "\"") {
    Reader strings(doc);
    EXPECT_EQ(as_text(strings.read_string(), [](const std::string& s) { return s; }), read)
        << where;
  }
  Reader raws(doc);
  EXPECT_EQ(as_text(raws.read_raw(), [](std::string_view s) { return std::string(s); }), raw)
      << where;
  EXPECT_EQ(scan::skip_value(doc, 0, 0), end) << where;
  EXPECT_EQ(scan::skip_value_portable(doc, 0, 0), end) << where;
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
        expect_read(shape, doc, want, want, 0, str_cat(shape.name, " byte ", c, " at ", offset));
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
        expect_read(shape, doc, str_cat("ok:", body(offset, meant)), str_cat("ok:", doc),
                    doc.size(), str_cat(shape.name, " ", written, " at ", offset));
      }
    }
  }
}

}  // namespace
}  // namespace morvatel::json
