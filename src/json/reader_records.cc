#include "json/reader.h"

#include <vector>

#include "json/record.h"
#include "json/scan.h"
#include "text.h"

namespace morvatel::json {

using namespace scan;

namespace {

// Whether the n bytes at a and b are the same; inline and a word at a time
// for the short names of record fields.
inline bool same_bytes(const char* a, const char* b, size_t n) {
  if (n >= 8) {
    for (size_t i = 0; i + 8 < n; i += 8) {
      if (load_word(a + i) != load_word(b + i)) return false;
    }
    return load_word(a + n - 8) == load_word(b + n - 8);
  }
  if (n >= 4) {
    uint32_t x, y, u, v;
    std::memcpy(&x, a, 4);
    std::memcpy(&y, b, 4);
    std::memcpy(&u, a + n - 4, 4);
    std::memcpy(&v, b + n - 4, 4);
    return x == y && u == v;
  }
  for (size_t i = 0; i < n; ++i) {
    if (a[i] != b[i]) return false;
  }
  return true;
}

std::string struct_name(const RecordSpec& spec) { return str_cat("struct ", spec.name); }

}  // namespace

Error Reader::record_error(bool object_form, std::string description) {
  skip_ws();
  if (object_form) {
    if (peek() == '}') ++pos_;
  } else if (peek() == ']') {
    ++pos_;
  } else if (peek() == ',') {
    ++pos_;
    skip_ws();
  }
  return error_here(Cat::Data, std::move(description));
}

Result<void> Reader::read_record(const RecordSpec& spec, void* record) {
  skip_ws();
  int c = peek();
  if (c < 0) return std::unexpected(error_next(Cat::Eof, "EOF while parsing a value"));
  if (c == '{' || c == '[') {
    if (auto r = enter(); !r) return r;
    ++pos_;
    return c == '{' ? read_record_object(spec, record) : read_record_array(spec, record);
  }
  return std::unexpected(invalid_type_next(struct_name(spec)));
}

Result<void> Reader::read_record_object(const RecordSpec& spec, void* record) {
  const auto fields = spec.fields;
  uint64_t seen = 0;  // records have at most 64 fields
  size_t next = 0;
  bool first = true;
  char* base = static_cast<char*>(record);
  for (;;) {
    auto more = next_key(first);
    if (!more) return std::unexpected(std::move(more.error()));
    if (!*more) break;
    ++pos_;
    // Keys usually come in declaration order: when the text holds the next
    // field's name and a closing quote, that is the key (field names have
    // nothing to escape), with no scan and no search.
    size_t i = fields.size();
    std::string_view key;
    if (next < fields.size()) {
      const std::string_view name = fields[next].name;
      if (in_.size() - pos_ > name.size() && in_[pos_ + name.size()] == '"' &&
          same_bytes(in_.data() + pos_, name.data(), name.size())) {
        i = next;
        key = name;
        pos_ += name.size() + 1;
      }
    }
    if (i == fields.size()) {
      auto scanned = scan_key();
      if (!scanned) return std::unexpected(std::move(scanned.error()));
      key = *scanned;
      i = 0;
      while (i < fields.size() && fields[i].name != key) ++i;
    }
    next = i + 1;
    if (i == fields.size()) {
      std::vector<std::string_view> names;
      for (const FieldSpec& f : fields) names.push_back(f.name);
      std::string d = unknown_field(key, names.data(), names.size());
      return std::unexpected(record_error(true, std::move(d)));
    }
    if (seen & (uint64_t{1} << i)) {
      return std::unexpected(record_error(true, duplicate_field(fields[i].name)));
    }
    seen |= uint64_t{1} << i;
    if (auto r = colon(); !r) return r;
    if (auto r = fields[i].read(*this, base + fields[i].offset); !r)
      return std::unexpected(positioned(std::move(r.error())));
  }
  const uint64_t all = fields.size() == 64 ? ~uint64_t{0} : (uint64_t{1} << fields.size()) - 1;
  for (size_t i = 0; seen != all && i < fields.size(); ++i) {
    if (!(seen & (uint64_t{1} << i)) && !(fields[i].flags & kOptional)) {
      return std::unexpected(record_error(true, missing_field(fields[i].name)));
    }
  }
  return end_object();
}

Result<void> Reader::read_record_array(const RecordSpec& spec, void* record) {
  const auto fields = spec.fields;
  bool first = true;
  char* base = static_cast<char*>(record);
  for (size_t i = 0; i < fields.size(); ++i) {
    auto more = next_element(first);
    if (!more) return std::unexpected(std::move(more.error()));
    if (!*more) {
      if (fields[i].flags & kArrayTailDefault) continue;
      std::string expected = str_cat("struct ", spec.name, " with ", fields.size(), " elements");
      return std::unexpected(record_error(false, invalid_length(i, expected)));
    }
    if (auto r = fields[i].read(*this, base + fields[i].offset); !r)
      return std::unexpected(positioned(std::move(r.error())));
  }
  return end_sequence();
}

void write_record(Writer& w, const RecordSpec& spec, const void* record) {
  const char* base = static_cast<const char*>(record);
  w.begin_object();
  for (const FieldSpec& f : spec.fields) {
    const void* member = base + f.offset;
    if ((f.flags & kOmitWhenAbsent) && f.absent && f.absent(member)) continue;
    w.key(f.name);
    f.write(w, member);
  }
  w.end_object();
}

}  // namespace morvatel::json
