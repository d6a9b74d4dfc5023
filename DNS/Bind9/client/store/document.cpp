#include "store/document.h"

#include <utility>

#include "endrun.h"

namespace corvane {

Map::Map() = default;
Map::Map(const Map&) = default;
Map::Map(Map&&) noexcept = default;
Map& Map::operator=(const Map&) = default;
Map& Map::operator=(Map&&) noexcept = default;
Map::~Map() = default;

namespace {

// Maps up to this size are scanned: comparing a few short keys costs less than hashing one.
constexpr size_t SCANNED = 8;

size_t hashof(std::string_view text) { return std::hash<std::string_view>{}(text); }

}  // namespace

Value* Map::find(const Key& key) {
  return const_cast<Value*>(std::as_const(*this).find(key));
}

const Value* Map::find(const Key& key) const {
  if (key.null) return nullslot_ < 0 ? nullptr : &members_[nullslot_].value;
  if (table_.empty()) {
    for (const Member& m : members_)
      if (!m.key.null && m.key.text == key.text) return &m.value;
    return nullptr;
  }
  uint32_t slot = table_[probe(key.text)];
  return slot == 0 ? nullptr : &members_[slot - 1].value;
}

size_t Map::probe(std::string_view text) const {
  size_t mask = table_.size() - 1;
  for (size_t i = hashof(text) & mask;; i = (i + 1) & mask) {
    uint32_t slot = table_[i];
    if (slot == 0 || members_[slot - 1].key.text == text) return i;
  }
}

void Map::reindex(size_t expected) {
  table_.clear();
  if (expected <= SCANNED) return;
  size_t capacity = 16;
  while (capacity < 2 * expected) capacity *= 2;
  table_.assign(capacity, 0);
  for (uint32_t i = 0; i < members_.size(); ++i)
    if (!members_[i].key.null) table_[probe(members_[i].key.text)] = i + 1;
}

Value& Map::set(Key key, Value value) {
  if (Value* present = find(key)) {
    *present = std::move(value);
    return *present;
  }
  auto index = static_cast<uint32_t>(members_.size());
  if (key.null) {
    nullslot_ = index;
  } else if (!table_.empty() && 2 * (members_.size() + 1) <= table_.size()) {
    table_[probe(key.text)] = index + 1;
  } else {
    members_.push_back(Member{std::move(key), std::move(value)});
    if (members_.size() > SCANNED) reindex(members_.size());
    return members_.back().value;
  }
  members_.push_back(Member{std::move(key), std::move(value)});
  return members_.back().value;
}

bool Map::erase(const Key& key) {
  if (!find(key)) return false;
  std::erase_if(members_, [&](const Member& m) { return m.key == key; });
  nullslot_ = -1;
  for (uint32_t i = 0; i < members_.size(); ++i)
    if (members_[i].key.null) nullslot_ = i;
  reindex(members_.size());
  return true;
}

size_t Map::size() const { return members_.size(); }
const std::vector<Member>& Map::members() const { return members_; }

void Map::reserve(size_t n) {
  members_.reserve(n);
  if (n > SCANNED && table_.size() < 2 * n) reindex(n);
}

Document newdocument() {
  Document doc;
  for (std::string_view name : SECTIONS) doc.set(Key(name), Value(Map()));
  return doc;
}

Map& section(Document& doc, std::string_view name) {
  Value* v = doc.find(Key(name));
  if (!v) throw Failure("the statistics document has no section \"" + std::string(name) + "\"");
  Map* m = v->map();
  if (!m) throw Failure("the section \"" + std::string(name) + "\" of the statistics document is not an object");
  return *m;
}

void setcounter(Document& doc, std::string_view sectionname, Key key, Value value) {
  section(doc, sectionname).set(std::move(key), std::move(value));
}

void setzone(Document& doc, Key zone, Map counters) {
  section(doc, "zones").set(std::move(zone), Value(std::move(counters)));
}

}  // namespace corvane
