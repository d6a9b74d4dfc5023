#include "store/document.h"

#include <algorithm>
#include <utility>

#include "base/ending.h"

namespace corvane {

namespace {

// Maps up to this size are scanned: comparing a few short keys costs less than hashing one.
constexpr size_t SCANNED = 8;

// The null key has no text to hash: a constant stands for it, and only the null key is the
// same as the null key.
constexpr uint64_t NULLHASH = 0;

uint64_t hashof(const Key& key) { return key.null ? NULLHASH : hashbytes(key.text); }

}  // namespace

Map::Map() = default;
Map::Map(Map&&) noexcept = default;
Map& Map::operator=(Map&&) noexcept = default;
Map::~Map() = default;
Map::Map(const Map&) = default;
Map& Map::operator=(const Map&) = default;

Value* Map::find(const Key& key) {
  return const_cast<Value*>(std::as_const(*this).find(key));
}

const Value* Map::find(const Key& key) const {
  if (!index_) {
    for (const Member& m : members_)
      if (m.key == key) return &m.value;
    return nullptr;
  }
  uint32_t entry =
      index_.find(hashof(key), [&](uint32_t e) { return members_[e].key == key; }).entry;
  return entry == HashIndex::NOENTRY ? nullptr : &members_[entry].value;
}

void Map::reindex(size_t expected) {
  index_ = expected <= SCANNED ? HashIndex() : HashIndex(expected);
  if (!index_) return;
  for (uint32_t i = 0; i < members_.size(); ++i) index_.add(hashof(members_[i].key), i);
}

Value& Map::set(Key key, Value value) {
  if (!index_) {
    if (Value* present = find(key)) return *present = std::move(value);
    members_.push_back(Member{std::move(key), std::move(value)});
    if (members_.size() > SCANNED) reindex(members_.size());
    return members_.back().value;
  }
  HashIndex::Entry found = index_.findoradd(
      hashof(key), members_.size(),
      [&](uint32_t entry) { return members_[entry].key == key; },
      [&](uint32_t entry) { return hashof(members_[entry].key); });
  if (!found.added) return members_[found.entry].value = std::move(value);
  members_.push_back(Member{std::move(key), std::move(value)});
  return members_.back().value;
}

bool Map::erase(const Key& key) {
  if (!find(key)) return false;
  std::erase_if(members_, [&](const Member& m) { return m.key == key; });
  reindex(members_.size());
  return true;
}

size_t Map::size() const { return members_.size(); }
const std::vector<Member>& Map::members() const { return members_; }

void Map::reserve(size_t n) {
  members_.reserve(n);
  if (n > SCANNED && !index_.fits(n)) reindex(n);
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
  section(doc, Section::ZONES).set(std::move(zone), Value(std::move(counters)));
}

}  // namespace corvane
