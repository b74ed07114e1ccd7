#ifndef MORVATEL_JSON_VALUE_H_
#define MORVATEL_JSON_VALUE_H_

// A generic JSON value. Numbers are held the way the log's metadata keeps
// them: an unsigned 64-bit integer when the text is a non-negative integer
// that fits, a signed one for a negative integer that fits, a double
// otherwise (so "-0" and "1e2" are doubles). Objects keep their keys in
// insertion order; setting a key that is already there keeps its place and
// replaces its value. Large objects get a hash index so lookups stay O(1).

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace morvatel::json {

class Value;
struct Member;

class Object {
 public:
  Object();
  Object(const Object& other);
  Object(Object&&) noexcept;
  Object& operator=(const Object& other);
  Object& operator=(Object&&) noexcept;
  ~Object();

  size_t size() const;
  bool empty() const;

  // Inserts or replaces; a replaced key keeps its position.
  Value& set(std::string key, Value value);
  // The value under `key`, appended as null if the key is new (a key that
  // is already there keeps its position and value).
  Value& entry(std::string key);
  void reserve(size_t n);
  const Value* find(std::string_view key) const;
  Value* find(std::string_view key);

  const std::vector<Member>& members() const { return members_; }
  std::vector<Member>::const_iterator begin() const;
  std::vector<Member>::const_iterator end() const;

  bool operator==(const Object& other) const;  // same keys in the same order

 private:
  friend class Reader;
  // entry() for a key that is only a view into the text being read: the
  // key is copied only when it is new.
  Value& entry_view(std::string_view key);
  // Appends a key the caller knows is not there yet.
  Value& append_new(std::string_view key);
  // Reading over an object already there, its members' storage taken over
  // in order: the first `live` members are the ones read so far, those
  // after them are left over from before. The member at `live` under a new
  // key, or a live one with this key (null if none); truncate() drops
  // what is left over once the reading stops.
  Value& overwrite(size_t live, std::string_view key);
  Value* find_live(size_t live, std::string_view key);
  void truncate(size_t live);
  // Objects this small are read over in place; larger ones are built anew.
  static constexpr size_t kReuseLimit = 16;
  void index_last();
  size_t find_index(std::string_view key) const;  // members_.size() if absent
  void rebuild_index();

  std::vector<Member> members_;
  // Open addressing over member indices + 1 (0 = empty slot); built once
  // the object passes a handful of keys.
  std::vector<uint32_t> index_;
};

using Array = std::vector<Value>;

class Value {
 public:
  enum class Kind : uint8_t { Null, Bool, U64, I64, F64, String, Array, Object };

  Value() = default;  // null
  Value(std::nullptr_t) {}
  Value(bool b) : v_(b) {}
  Value(uint64_t u) : v_(u) {}
  Value(int64_t i) : v_(i) {}
  Value(unsigned u) : v_(static_cast<uint64_t>(u)) {}
  Value(int i) : v_(static_cast<int64_t>(i)) {}
  Value(double d) : v_(d) {}
  Value(std::string s) : v_(std::move(s)) {}
  Value(std::string_view s) : v_(std::string(s)) {}
  Value(const char* s) : v_(std::string(s)) {}
  Value(Array a) : v_(std::move(a)) {}
  Value(Object o) : v_(std::move(o)) {}

  Kind kind() const { return static_cast<Kind>(v_.index()); }

  // Accessors; the caller checks kind() first.
  bool as_bool() const { return std::get<bool>(v_); }
  uint64_t as_u64() const { return std::get<uint64_t>(v_); }
  int64_t as_i64() const { return std::get<int64_t>(v_); }
  double as_f64() const { return std::get<double>(v_); }
  const std::string& as_string() const { return std::get<std::string>(v_); }
  std::string& as_string() { return std::get<std::string>(v_); }
  const Array& as_array() const { return std::get<Array>(v_); }
  Array& as_array() { return std::get<Array>(v_); }
  const Object& as_object() const { return std::get<Object>(v_); }
  Object& as_object() { return std::get<Object>(v_); }

  // Null when the value is not an object or has no such key.
  const Value* find(std::string_view key) const;

  // Structural equality; doubles compare by value (so -0.0 == 0.0) and
  // 5 held as uint64_t differs from 5 held as int64_t only in kind, which
  // counts.
  bool operator==(const Value& other) const { return v_ == other.v_; }

 private:
  std::variant<std::monostate, bool, uint64_t, int64_t, double, std::string, Array, Object> v_;
};

struct Member {
  std::string key;
  Value value;
  bool operator==(const Member&) const = default;
};

}  // namespace morvatel::json

#endif  // MORVATEL_JSON_VALUE_H_
