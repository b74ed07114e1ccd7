#ifndef MORVATEL_JSON_RECORD_H_
#define MORVATEL_JSON_RECORD_H_

// Records described as tables. A record type gets one RecordSpec: its name
// (for messages: "struct KernelInput", "struct KernelInput with 13
// elements") and its fields in declaration order, each with a reader and a
// writer. From that one table come the strict reader (object form in any
// key order or array form in declaration order) and the writer (object form,
// declaration order).
//
//   const json::RecordSpec& json_record_spec(const TenantLedger*) {
//     static const json::FieldSpec kFields[] = {
//         json::field(&TenantLedger::tenant_id, "tenant_id"),
//         json::field(&TenantLedger::initial_microcents, "initial_microcents"), ...};
//     static const json::RecordSpec kSpec{"TenantLedger", kFields};
//     return kSpec;
//   }
//
// Declared next to the record (found by argument-dependent lookup), this
// makes TenantLedger usable as a field type of other records, inside
// std::vector and std::optional, and with json::parse<TenantLedger>(text),
// json::to_string(ledger), json::write(sink, ledger, Layout::Indented) and
// json::Codec<TenantLedger>::read / write inside hand-written readers.
//
// Declare a nested record's json_record_spec before the tables that use it:
// whether a type is a record is decided where it is first asked.
//
// Field types with a built-in codec: all fixed-width integers, bool,
// std::string, json::Value, json::RawJson / json::RawView (the exact text
// of a nested value), std::optional<T> (null or missing is absent),
// std::vector<T> (a JSON array, "a sequence"), and records. Another type
// (an enumeration written as its enumerator names, say) gets a Codec
// specialisation of its own (see kernel/json_forms.h), or a field gets a
// hand-written read/write pair in its FieldSpec.

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "json/error.h"
#include "json/reader.h"
#include "json/value.h"
#include "json/writer.h"

namespace morvatel::json {

// How a field behaves when it has no value.
enum FieldFlags : uint8_t {
  kRequired = 0,
  // Object form: a missing member or null means absent.
  kOptional = 1,
  // The writer leaves the member out when absent (otherwise writes null).
  kOmitWhenAbsent = 2,
  // Array form: the element may be left off at the end of the array.
  kArrayTailDefault = 4,
};

struct FieldSpec {
  // The key as it stands in the text: nothing in it needs escaping (no
  // quote, backslash or control character), so a key is matched against it
  // byte for byte.
  std::string_view name;
  size_t offset = 0;  // of the member within the record
  Result<void> (*read)(Reader&, void* member) = nullptr;
  void (*write)(Writer&, const void* member) = nullptr;
  // Null for fields that always have a value.
  bool (*absent)(const void* member) = nullptr;
  uint8_t flags = kRequired;
};

struct RecordSpec {
  std::string_view name;  // "KernelInput"
  std::span<const FieldSpec> fields;
};

// The exact text of a nested value: owned, or a view into the input
// (valid while the input text lives).
struct RawJson {
  std::string text;
  bool operator==(const RawJson&) const = default;
};
struct RawView {
  std::string_view text;
};

// A record or generic value read together with the exact text it was read
// from (without the whitespace around it, a view into the input): one
// pass gives both the value and the bytes that stand for it, where
// read_raw followed by a second read of those bytes would take two. The
// reader of either stops right after the value's last byte, which is where
// its text ends.
template <typename T>
struct WithText {
  T value{};
  std::string_view text;
};

template <typename T>
struct Codec;

template <typename T>
concept Record = requires(const T* p) {
  { json_record_spec(p) } -> std::same_as<const RecordSpec&>;
};

template <std::integral T>
  requires(!std::same_as<T, bool>)
struct Codec<T> {
  static Result<void> read(Reader& r, T& out) {
    auto v = r.read_integer<T>();
    if (!v) return std::unexpected(std::move(v.error()));
    out = *v;
    return {};
  }
  static void write(Writer& w, const T& v) {
    if constexpr (std::is_signed_v<T>) {
      w.i64(v);
    } else {
      w.u64(v);
    }
  }
};

template <>
struct Codec<bool> {
  static Result<void> read(Reader& r, bool& out) {
    auto v = r.read_bool();
    if (!v) return std::unexpected(std::move(v.error()));
    out = *v;
    return {};
  }
  static void write(Writer& w, const bool& v) { w.boolean(v); }
};

template <>
struct Codec<std::string> {
  static Result<void> read(Reader& r, std::string& out) { return r.read_string(out); }
  static void write(Writer& w, const std::string& v) { w.string(v); }
};

template <>
struct Codec<Value> {
  static Result<void> read(Reader& r, Value& out) { return r.read_value(out); }
  static void write(Writer& w, const Value& v) { w.value(v); }
};

template <>
struct Codec<RawJson> {
  static Result<void> read(Reader& r, RawJson& out) {
    auto v = r.read_raw();
    if (!v) return std::unexpected(std::move(v.error()));
    out.text.assign(*v);
    return {};
  }
  static void write(Writer& w, const RawJson& v) { w.raw(v.text); }
};

template <>
struct Codec<RawView> {
  static Result<void> read(Reader& r, RawView& out) {
    auto v = r.read_raw();
    if (!v) return std::unexpected(std::move(v.error()));
    out.text = *v;
    return {};
  }
  static void write(Writer& w, const RawView& v) { w.raw(v.text); }
};

template <typename T>
struct Codec<std::optional<T>> {
  static Result<void> read(Reader& r, std::optional<T>& out) {
    auto null = r.read_null();
    if (!null) return std::unexpected(std::move(null.error()));
    if (*null) {
      out.reset();
      return {};
    }
    T value{};
    if (auto st = Codec<T>::read(r, value); !st) return st;
    out = std::move(value);
    return {};
  }
  static void write(Writer& w, const std::optional<T>& v) {
    if (v) {
      Codec<T>::write(w, *v);
    } else {
      w.null();
    }
  }
};

template <typename T>
struct Codec<std::vector<T>> {
  static Result<void> read(Reader& r, std::vector<T>& out) {
    out.clear();
    return r.read_sequence("a sequence", [&](Reader& rr) -> Result<void> {
      out.emplace_back();
      return Codec<T>::read(rr, out.back());
    });
  }
  static void write(Writer& w, const std::vector<T>& v) {
    w.begin_array();
    for (const T& e : v) Codec<T>::write(w, e);
    w.end_array();
  }
};

void write_record(Writer& w, const RecordSpec& spec, const void* record);

template <Record T>
struct Codec<T> {
  static Result<void> read(Reader& r, T& out) {
    return r.read_record(json_record_spec(static_cast<const T*>(nullptr)), &out);
  }
  static void write(Writer& w, const T& v) {
    write_record(w, json_record_spec(static_cast<const T*>(nullptr)), &v);
  }
};

template <typename T>
  requires Record<T> || std::same_as<T, Value>
struct Codec<WithText<T>> {
  static Result<void> read(Reader& r, WithText<T>& out) {
    const std::string_view in = r.text();
    size_t start = r.offset();
    while (start < in.size() &&
           (in[start] == ' ' || in[start] == '\n' || in[start] == '\t' || in[start] == '\r')) {
      ++start;
    }
    if (auto st = Codec<T>::read(r, out.value); !st) return st;
    out.text = in.substr(start, r.offset() - start);
    return {};
  }
  static void write(Writer& w, const WithText<T>& v) { w.raw(v.text); }
};

template <typename T>
concept HasCodec = requires(Reader& r, Writer& w, T& t, const T& c) {
  { Codec<T>::read(r, t) } -> std::same_as<Result<void>>;
  Codec<T>::write(w, c);
};

namespace detail {

template <typename M>
Result<void> read_member(Reader& r, void* p) {
  return Codec<M>::read(r, *static_cast<M*>(p));
}
template <typename M>
void write_member(Writer& w, const void* p) {
  Codec<M>::write(w, *static_cast<const M*>(p));
}
template <typename M>
bool optional_absent(const void* p) {
  return !static_cast<const M*>(p)->has_value();
}
template <typename M>
inline constexpr bool is_optional = false;
template <typename M>
inline constexpr bool is_optional<std::optional<M>> = true;

}  // namespace detail

// A field for a member given by reference into a probe record (for tables
// built from a record's field walk), read and written with its type's codec.
// std::optional members are kOptional unless `flags` says more
// (kOmitWhenAbsent, kArrayTailDefault).
template <typename C, typename M>
  requires HasCodec<M>
FieldSpec field_at(const C& probe, const M& member, std::string_view name,
                   uint8_t flags = kRequired) {
  FieldSpec f;
  f.name = name;
  f.offset = static_cast<size_t>(reinterpret_cast<const char*>(&member) -
                                 reinterpret_cast<const char*>(&probe));
  f.read = &detail::read_member<M>;
  f.write = &detail::write_member<M>;
  if constexpr (detail::is_optional<M>) {
    f.absent = &detail::optional_absent<M>;
    flags |= kOptional;
  }
  f.flags = flags;
  return f;
}

// The same for a member pointer.
template <typename C, typename M>
  requires HasCodec<M>
FieldSpec field(M C::* member, std::string_view name, uint8_t flags = kRequired) {
  static const C probe{};
  return field_at(probe, probe.*member, name, flags);
}

// Whole documents: one value, whitespace around it, nothing else.
template <typename T>
  requires HasCodec<T>
Result<T> parse(std::string_view text) {
  // Read into the result itself, so that a large record is not moved on
  // its way out.
  Reader r(text);
  Result<T> out(std::in_place);
  if (auto st = Codec<T>::read(r, *out); !st) {
    out = std::unexpected(std::move(st.error()));
  } else if (auto fin = r.finish(); !fin) {
    out = std::unexpected(std::move(fin.error()));
  }
  return out;
}

// The same into an existing value, whose storage is reused: for reading
// many documents of one record type. Sound only for a type every member of
// which the text must give (no optional or defaulted members), since a
// member the text leaves out would keep its earlier content.
template <typename T>
  requires HasCodec<T>
Result<void> parse_into(std::string_view text, T& out) {
  Reader r(text);
  if (auto st = Codec<T>::read(r, out); !st) return st;
  return r.finish();
}

Result<Value> parse_value(std::string_view text);

// Writes a value of any codec type into `sink` (compact or indented).
template <typename T>
  requires HasCodec<T>
Result<void> write(Sink& sink, const T& v, Layout layout = Layout::Compact) {
  Writer w(sink, layout);
  Codec<T>::write(w, v);
  return w.finish();
}

template <typename T>
  requires HasCodec<T>
std::string to_string(const T& v, Layout layout = Layout::Compact) {
  std::string out;
  StringSink sink(out);
  (void)write(sink, v, layout);
  return out;
}

}  // namespace morvatel::json

#endif  // MORVATEL_JSON_RECORD_H_
