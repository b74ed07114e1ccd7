#include "json/reader.h"

#include "json/scan.h"
#include "json/skip.h"

namespace morvatel::json {

using namespace scan;

// --- positions -----------------------------------------------------------------

namespace {

Error at_index(std::string_view in, size_t index, Cat c, std::string description) {
  size_t line = 1;
  size_t line_start = 0;
  for (size_t i = 0; i < index; ++i) {
    if (in[i] == '\n') {
      ++line;
      line_start = i + 1;
    }
  }
  return Error{c, std::move(description), line, index - line_start};
}

}  // namespace

Error Reader::error_here(Cat c, std::string description) const {
  return at_index(in_, pos_, c, std::move(description));
}

Error Reader::error_next(Cat c, std::string description) const {
  return at_index(in_, std::min(in_.size(), pos_ + 1), c, std::move(description));
}

Error Reader::positioned(Error e) const {
  if (e.line != 0) return e;
  Error p = error_here(e.category, std::string());
  p.description = std::move(e.description);
  return p;
}

// --- structure -----------------------------------------------------------------

Result<void> Reader::enter() {
  if (depth_ + 1 >= kMaxDepth) {
    return std::unexpected(error_next(Cat::Syntax, "recursion limit exceeded"));
  }
  ++depth_;
  return {};
}

Result<void> Reader::ident(const char* rest) {
  for (; *rest != 0; ++rest) {
    if (pos_ == in_.size())
      return std::unexpected(error_here(Cat::Eof, "EOF while parsing a value"));
    if (in_[pos_++] != *rest) return std::unexpected(error_here(Cat::Syntax, "expected ident"));
  }
  return {};
}

Error Reader::invalid_type_next(std::string_view expected) {
  int c = peek();
  std::string found;
  switch (c) {
    case 'n': {
      ++pos_;
      if (auto r = ident("ull"); !r) return std::move(r.error());
      found = "null";
      break;
    }
    case 't':
    case 'f': {
      ++pos_;
      if (auto r = ident(c == 't' ? "rue" : "alse"); !r) return std::move(r.error());
      found = found_bool(c == 't');
      break;
    }
    case '"': {
      ++pos_;
      std::string s;
      if (auto r = scan_string(&s, true); !r) return std::move(r.error());
      found = found_string(s);
      break;
    }
    case '[': found = "sequence"; break;
    case '{': found = "map"; break;
    default:
      if (c == '-' || is_digit(c)) {
        auto n = parse_number();
        if (!n) return std::move(n.error());
        switch (n->kind) {
          case Number::Kind::U64: found = found_unsigned(n->u); break;
          case Number::Kind::I64: found = found_signed(n->i); break;
          case Number::Kind::F64: found = found_float(n->d); break;
        }
        break;
      }
      return error_next(Cat::Syntax, "expected value");
  }
  return error_here(Cat::Data, invalid_type(found, expected));
}

Result<bool> Reader::read_bool() {
  skip_ws();
  int c = peek();
  if (c < 0) return std::unexpected(error_next(Cat::Eof, "EOF while parsing a value"));
  if (c == 't' || c == 'f') {
    ++pos_;
    if (auto r = ident(c == 't' ? "rue" : "alse"); !r) return std::unexpected(std::move(r.error()));
    return c == 't';
  }
  return std::unexpected(invalid_type_next("a boolean"));
}

Result<bool> Reader::read_null() {
  skip_ws();
  if (peek() != 'n') return false;
  ++pos_;
  if (auto r = ident("ull"); !r) return std::unexpected(std::move(r.error()));
  return true;
}

Result<bool> Reader::next_element_slow(bool& first) {
  skip_ws();
  int c = peek();
  if (c == ']') return false;
  if (c == ',' && !first) {
    ++pos_;
    skip_ws();
    c = peek();
  } else if (c >= 0) {
    if (!first) return std::unexpected(error_next(Cat::Syntax, "expected `,` or `]`"));
    first = false;
  } else {
    return std::unexpected(error_next(Cat::Eof, "EOF while parsing a list"));
  }
  if (c == ']') return std::unexpected(error_next(Cat::Syntax, "trailing comma"));
  if (c < 0) return std::unexpected(error_next(Cat::Eof, "EOF while parsing a value"));
  return true;
}

Result<void> Reader::end_sequence() {
  skip_ws();
  int c = peek();
  if (c == ']') {
    ++pos_;
    leave();
    return {};
  }
  if (c == ',') {
    ++pos_;
    skip_ws();
    if (peek() == ']') return std::unexpected(error_next(Cat::Syntax, "trailing comma"));
    return std::unexpected(error_next(Cat::Syntax, "trailing characters"));
  }
  if (c < 0) return std::unexpected(error_next(Cat::Eof, "EOF while parsing a list"));
  return std::unexpected(error_next(Cat::Syntax, "trailing characters"));
}

Result<void> Reader::begin_sequence(std::string_view expected) {
  skip_ws();
  int c = peek();
  if (c < 0) return std::unexpected(error_next(Cat::Eof, "EOF while parsing a value"));
  if (c != '[') return std::unexpected(invalid_type_next(expected));
  if (auto r = enter(); !r) return r;
  ++pos_;
  return {};
}

Result<bool> Reader::next_key_slow(bool& first) {
  skip_ws();
  int c = peek();
  if (c == '}') return false;
  if (c == ',' && !first) {
    ++pos_;
    skip_ws();
    c = peek();
  } else if (c >= 0) {
    if (!first) return std::unexpected(error_next(Cat::Syntax, "expected `,` or `}`"));
    first = false;
  } else {
    return std::unexpected(error_next(Cat::Eof, "EOF while parsing an object"));
  }
  if (c == '"') return true;
  if (c == '}') return std::unexpected(error_next(Cat::Syntax, "trailing comma"));
  if (c < 0) return std::unexpected(error_next(Cat::Eof, "EOF while parsing a value"));
  return std::unexpected(error_next(Cat::Syntax, "key must be a string"));
}

Result<void> Reader::colon_slow() {
  skip_ws();
  int c = peek();
  if (c == ':') {
    ++pos_;
    return {};
  }
  if (c < 0) return std::unexpected(error_next(Cat::Eof, "EOF while parsing an object"));
  return std::unexpected(error_next(Cat::Syntax, "expected `:`"));
}

Result<void> Reader::end_object() {
  skip_ws();
  int c = peek();
  if (c == '}') {
    ++pos_;
    leave();
    return {};
  }
  if (c == ',') return std::unexpected(error_next(Cat::Syntax, "trailing comma"));
  if (c < 0) return std::unexpected(error_next(Cat::Eof, "EOF while parsing an object"));
  return std::unexpected(error_next(Cat::Syntax, "trailing characters"));
}

// A string into `out`, into the string it holds if it holds one.
static void assign_string(Value& out, std::string_view s) {
  if (out.kind() == Value::Kind::String) {
    out.as_string().assign(s);
  } else {
    out = Value(s);
  }
}

// A string with nothing to decode or a plain integer right at the cursor,
// the bulk of a container's members, read without the general dispatch;
// false (cursor unmoved) for anything else, which parse_any then takes.
bool Reader::parse_plain_scalar(Value& out) {
  if (pos_ == in_.size()) return false;
  const char c = in_[pos_];
  if (c == '"') {
    const size_t end = plain_run(reinterpret_cast<const unsigned char*>(in_.data()), pos_ + 1,
                                 in_.size());
    if (end == in_.size() || in_[end] != '"') return false;
    assign_string(out, in_.substr(pos_ + 1, end - pos_ - 1));
    pos_ = end + 1;
    return true;
  }
  if (c != '-' && !is_digit(static_cast<unsigned char>(c))) return false;
  uint64_t magnitude = 0;
  bool negative = false;
  const size_t end = plain_integer(magnitude, negative);
  if (end == 0) return false;
  if (!negative) {
    out = Value(magnitude);
  } else if (magnitude <= (uint64_t{1} << 63)) {
    out = Value(static_cast<int64_t>(0 - magnitude));
  } else {
    return false;
  }
  pos_ = end;
  return true;
}

Result<void> Reader::parse_any(Value& out) {
  skip_ws();
  int c = peek();
  switch (c) {
    case -1: return std::unexpected(error_next(Cat::Eof, "EOF while parsing a value"));
    case 'n':
      ++pos_;
      if (auto r = ident("ull"); !r) return r;
      out = Value();
      return {};
    case 't':
    case 'f':
      ++pos_;
      if (auto r = ident(c == 't' ? "rue" : "alse"); !r) return r;
      out = Value(c == 't');
      return {};
    // Containers and strings are filled in place; on an error the partly
    // filled value is dropped with the rest of the document.
    case '"': {
      ++pos_;
      const size_t end = plain_run(reinterpret_cast<const unsigned char*>(in_.data()), pos_,
                                   in_.size());
      if (end < in_.size() && in_[end] == '"') {
        assign_string(out, in_.substr(pos_, end - pos_));
        pos_ = end + 1;
        return {};
      }
      assign_string(out, std::string_view());
      return scan_string(&out.as_string(), true);
    }
    // A container already in `out` (a record's member read line after
    // line) lends its storage: its elements are read over in order and
    // whatever is left over is dropped when the reading stops, so the
    // outcome is that of reading into a new one.
    case '[': {
      if (auto r = enter(); !r) return r;
      ++pos_;
      if (out.kind() != Value::Kind::Array) out = Value(Array());
      Array& items = out.as_array();
      size_t count = 0;
      struct Trim {
        Array& items;
        size_t& count;
        ~Trim() {
          if (count < items.size())
            items.erase(items.begin() + static_cast<ptrdiff_t>(count), items.end());
        }
      } trim{items, count};
      bool first = true;
      for (;;) {
        auto more = next_element(first);
        if (!more) return std::unexpected(std::move(more.error()));
        if (!*more) break;
        if (items.empty()) items.reserve(4);
        Value& item = count < items.size() ? items[count] : items.emplace_back();
        ++count;
        if (parse_plain_scalar(item)) continue;
        if (auto r = parse_any(item); !r) return r;
      }
      return end_sequence();
    }
    case '{': {
      if (auto r = enter(); !r) return r;
      ++pos_;
      if (out.kind() != Value::Kind::Object || out.as_object().size() >= Object::kReuseLimit) {
        out = Value(Object());
      }
      Object& obj = out.as_object();
      // Members left over from before, still to be written over; `live`
      // have been read. Once they are used up, keys are added as usual.
      size_t reuse = obj.size();
      size_t live = 0;
      struct Trim {
        Object& obj;
        const size_t& reuse;
        const size_t& live;
        ~Trim() {
          if (live < reuse) obj.truncate(live);
        }
      } trim{obj, reuse, live};
      // One bit per key length, first and last byte seen so far: a key
      // whose bit is clear cannot be a repeat and needs no search.
      uint64_t signatures = 0;
      bool first = true;
      for (;;) {
        auto more = next_key(first);
        if (!more) return std::unexpected(std::move(more.error()));
        if (!*more) break;
        ++pos_;
        auto key = scan_key();
        if (!key) return std::unexpected(std::move(key.error()));
        // A repeated key keeps its first place and takes the last value.
        const std::string_view k = *key;
        const uint64_t signature = uint64_t{1}
                                   << ((k.size() * 7 +
                                        (k.empty() ? 0
                                                   : static_cast<unsigned char>(k.front()) * 3 +
                                                         static_cast<unsigned char>(k.back()))) &
                                       63);
        Value* slot = nullptr;
        if (live < reuse) {
          if (signatures & signature) slot = obj.find_live(live, k);
          if (slot == nullptr) slot = &obj.overwrite(live++, k);
        } else {
          if (obj.empty()) obj.reserve(4);
          slot = (signatures & signature) ? &obj.entry_view(k) : &obj.append_new(k);
        }
        signatures |= signature;
        if (auto r = colon(); !r) return r;
        if (parse_plain_scalar(*slot)) continue;
        if (auto r = parse_any(*slot); !r) return r;
      }
      return end_object();
    }
    default:
      if (c == '-' || is_digit(c)) {
        auto n = parse_number();
        if (!n) return std::unexpected(std::move(n.error()));
        switch (n->kind) {
          case Number::Kind::U64: out = Value(n->u); break;
          case Number::Kind::I64: out = Value(n->i); break;
          case Number::Kind::F64: out = Value(n->d); break;
        }
        return {};
      }
      return std::unexpected(error_next(Cat::Syntax, "expected value"));
  }
}

Result<void> Reader::read_value(Value& out) { return parse_any(out); }

Result<Value> Reader::read_value() {
  Value v;
  if (auto r = parse_any(v); !r) return std::unexpected(std::move(r.error()));
  return v;
}

Result<void> Reader::skip_any() {
  skip_ws();
  int c = peek();
  switch (c) {
    case -1: return std::unexpected(error_next(Cat::Eof, "EOF while parsing a value"));
    case 'n': ++pos_; return ident("ull");
    case 't': ++pos_; return ident("rue");
    case 'f': ++pos_; return ident("alse");
    case '"': ++pos_; return scan_string(nullptr, false);
    case '[': {
      if (auto r = enter(); !r) return r;
      ++pos_;
      bool first = true;
      for (;;) {
        auto more = next_element(first);
        if (!more) return std::unexpected(std::move(more.error()));
        if (!*more) break;
        if (auto r = skip_any(); !r) return r;
      }
      return end_sequence();
    }
    case '{': {
      if (auto r = enter(); !r) return r;
      ++pos_;
      bool first = true;
      for (;;) {
        auto more = next_key(first);
        if (!more) return std::unexpected(std::move(more.error()));
        if (!*more) break;
        ++pos_;
        if (auto r = scan_string(nullptr, false); !r) return r;
        if (auto r = colon(); !r) return r;
        if (auto r = skip_any(); !r) return r;
      }
      return end_object();
    }
    default:
      if (c == '-' || is_digit(c)) {
        bool float_form = false;
        bool overflow = false;
        uint64_t v = 0;
        return scan_number(float_form, v, overflow);
      }
      return std::unexpected(error_next(Cat::Syntax, "expected value"));
  }
}

Result<std::string_view> Reader::read_raw() {
  skip_ws();
  size_t start = pos_;
  if (const size_t end = skip_value(in_, start, depth_); end != 0) {
    pos_ = end;
    return in_.substr(start, end - start);
  }
  if (auto r = skip_any(); !r) return std::unexpected(std::move(r.error()));
  return in_.substr(start, pos_ - start);
}

Result<size_t> Reader::read_variant(const std::string_view* names, size_t count) {
  auto identifier = [&]() -> Result<size_t> {
    skip_ws();
    int c = peek();
    if (c < 0) return std::unexpected(error_next(Cat::Eof, "EOF while parsing a value"));
    if (c != '"') return std::unexpected(invalid_type_next("variant identifier"));
    ++pos_;
    auto name = scan_key();
    if (!name) return std::unexpected(std::move(name.error()));
    for (size_t i = 0; i < count; ++i) {
      if (names[i] == *name) return i;
    }
    return std::unexpected(error_here(Cat::Data, unknown_variant(*name, names, count)));
  };
  skip_ws();
  int c = peek();
  if (c == '"') return identifier();
  if (c < 0) return std::unexpected(error_next(Cat::Eof, "EOF while parsing a value"));
  if (c != '{') return std::unexpected(error_next(Cat::Syntax, "expected value"));
  // {"Name": null}
  if (auto r = enter(); !r) return std::unexpected(std::move(r.error()));
  ++pos_;
  auto which = identifier();
  if (!which) return which;
  if (auto r = colon(); !r) return std::unexpected(std::move(r.error()));
  skip_ws();
  c = peek();
  if (c < 0) return std::unexpected(error_next(Cat::Eof, "EOF while parsing a value"));
  if (c != 'n') return std::unexpected(invalid_type_next("unit"));
  ++pos_;
  if (auto r = ident("ull"); !r) return std::unexpected(std::move(r.error()));
  skip_ws();
  c = peek();
  if (c == '}') {
    ++pos_;
    leave();
    return which;
  }
  if (c < 0) return std::unexpected(error_here(Cat::Eof, "EOF while parsing an object"));
  return std::unexpected(error_here(Cat::Syntax, "expected value"));
}

Result<void> Reader::finish() {
  skip_ws();
  if (pos_ < in_.size()) return std::unexpected(error_next(Cat::Syntax, "trailing characters"));
  return {};
}

Result<Value> parse_value(std::string_view text) {
  Reader r(text);
  Result<Value> v(std::in_place);
  if (auto st = r.read_value(*v); !st) {
    v = std::unexpected(std::move(st.error()));
  } else if (auto fin = r.finish(); !fin) {
    v = std::unexpected(std::move(fin.error()));
  }
  return v;
}

}  // namespace morvatel::json
