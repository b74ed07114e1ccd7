#include "json/value.h"

#include <functional>

namespace morvatel::json {

namespace {

// Below this many keys a linear scan beats hashing: the scan compares
// lengths first, and keys of one object seldom share a length for long.
constexpr size_t kIndexThreshold = 24;

size_t hash_key(std::string_view key) { return std::hash<std::string_view>{}(key); }

}  // namespace

Object::Object() = default;
Object::Object(const Object& other) = default;
Object::Object(Object&&) noexcept = default;
Object& Object::operator=(const Object& other) = default;
Object& Object::operator=(Object&&) noexcept = default;
Object::~Object() = default;

size_t Object::size() const { return members_.size(); }
bool Object::empty() const { return members_.empty(); }

std::vector<Member>::const_iterator Object::begin() const { return members_.begin(); }
std::vector<Member>::const_iterator Object::end() const { return members_.end(); }

bool Object::operator==(const Object& other) const { return members_ == other.members_; }

size_t Object::find_index(std::string_view key) const {
  if (index_.empty()) {
    for (size_t i = 0; i < members_.size(); ++i) {
      if (members_[i].key == key) return i;
    }
    return members_.size();
  }
  const size_t mask = index_.size() - 1;
  for (size_t slot = hash_key(key) & mask;; slot = (slot + 1) & mask) {
    uint32_t entry = index_[slot];
    if (entry == 0) return members_.size();
    if (members_[entry - 1].key == key) return entry - 1;
  }
}

void Object::rebuild_index() {
  size_t cap = 32;
  while (cap < members_.size() * 2) cap *= 2;
  index_.assign(cap, 0);
  const size_t mask = cap - 1;
  for (size_t i = 0; i < members_.size(); ++i) {
    size_t slot = hash_key(members_[i].key) & mask;
    while (index_[slot] != 0) slot = (slot + 1) & mask;
    index_[slot] = static_cast<uint32_t>(i + 1);
  }
}

void Object::reserve(size_t n) { members_.reserve(n); }

Value& Object::set(std::string key, Value value) {
  Value& slot = entry(std::move(key));
  slot = std::move(value);
  return slot;
}

Value& Object::entry(std::string key) {
  size_t i = find_index(key);
  if (i < members_.size()) return members_[i].value;
  members_.push_back(Member{std::move(key), Value()});
  index_last();
  return members_.back().value;
}

Value& Object::entry_view(std::string_view key) {
  size_t i = find_index(key);
  if (i < members_.size()) return members_[i].value;
  members_.emplace_back().key.assign(key);
  index_last();
  return members_.back().value;
}

Value& Object::append_new(std::string_view key) {
  members_.emplace_back().key.assign(key);
  index_last();
  return members_.back().value;
}

Value& Object::overwrite(size_t live, std::string_view key) {
  Member& m = members_[live];
  m.key.assign(key);
  return m.value;
}

Value* Object::find_live(size_t live, std::string_view key) {
  for (size_t i = 0; i < live; ++i) {
    if (members_[i].key == key) return &members_[i].value;
  }
  return nullptr;
}

void Object::truncate(size_t live) {
  if (live >= members_.size()) return;
  members_.erase(members_.begin() + static_cast<ptrdiff_t>(live), members_.end());
  if (!index_.empty()) rebuild_index();
}

// Adds the member just appended to the index, building the index when the
// object has just grown large enough to want one.
void Object::index_last() {
  if (members_.size() >= kIndexThreshold) {
    if (index_.empty() || members_.size() * 2 > index_.size()) {
      rebuild_index();
    } else {
      const size_t mask = index_.size() - 1;
      size_t slot = hash_key(members_.back().key) & mask;
      while (index_[slot] != 0) slot = (slot + 1) & mask;
      index_[slot] = static_cast<uint32_t>(members_.size());
    }
  }
}

const Value* Object::find(std::string_view key) const {
  size_t i = find_index(key);
  return i < members_.size() ? &members_[i].value : nullptr;
}

Value* Object::find(std::string_view key) {
  size_t i = find_index(key);
  return i < members_.size() ? &members_[i].value : nullptr;
}

const Value* Value::find(std::string_view key) const {
  if (kind() != Kind::Object) return nullptr;
  return as_object().find(key);
}

}  // namespace morvatel::json
