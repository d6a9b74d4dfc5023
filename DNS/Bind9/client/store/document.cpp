#include "store/document.h"

#include <algorithm>
#include <memory>
#include <utility>

#include "endrun.h"

namespace corvane {

namespace {

// Maps up to this size are scanned: comparing a few short keys costs less than hashing one.
constexpr size_t SCANNED = 8;
// The table's header: the number of slots, and the null key's index + 1.
constexpr size_t HEADER = 2;

size_t hashof(std::string_view text) { return std::hash<std::string_view>{}(text); }

}  // namespace

void KeyText::init(std::string_view t) {
  if (t.size() <= TAG) {
    if (!t.empty()) std::memcpy(bytes_, t.data(), t.size());
    bytes_[TAG] = static_cast<unsigned char>(t.size());
    return;
  }
  if (t.size() > UINT32_MAX) throw Failure("a key of " + std::to_string(t.size()) + " bytes is too long");
  char* p = new char[t.size()];
  std::memcpy(p, t.data(), t.size());
  auto n = static_cast<uint32_t>(t.size());
  std::memcpy(bytes_, &p, sizeof p);
  std::memcpy(bytes_ + sizeof p, &n, sizeof n);
  bytes_[TAG] = FAR;
}

Map::Map() = default;
Map::Map(Map&&) noexcept = default;
Map& Map::operator=(Map&&) noexcept = default;
Map::~Map() = default;

Map::Map(const Map& other) : members_(other.members_) {
  if (other.table_) {
    size_t n = HEADER + other.table_[0];
    table_ = std::make_unique_for_overwrite<uint32_t[]>(n);
    std::copy_n(other.table_.get(), n, table_.get());
  }
}

Map& Map::operator=(const Map& other) {
  if (this != &other) *this = Map(other);
  return *this;
}

Value* Map::find(const Key& key) {
  return const_cast<Value*>(std::as_const(*this).find(key));
}

const Value* Map::find(const Key& key) const {
  if (!table_) {
    for (const Member& m : members_)
      if (m.key.null == key.null && m.key.text == key.text) return &m.value;
    return nullptr;
  }
  uint32_t slot = key.null ? table_[1] : table_[HEADER + probe(key.text)];
  return slot == 0 ? nullptr : &members_[slot - 1].value;
}

size_t Map::probe(std::string_view text) const {
  size_t mask = table_[0] - 1;
  const uint32_t* slots = table_.get() + HEADER;
  for (size_t i = hashof(text) & mask;; i = (i + 1) & mask) {
    uint32_t slot = slots[i];
    if (slot == 0) return i;
    const Member& m = members_[slot - 1];
    if (!m.key.null && m.key.text == text) return i;
  }
}

void Map::reindex(size_t expected) {
  table_.reset();
  if (expected <= SCANNED) return;
  size_t capacity = 16;
  while (3 * capacity < 4 * expected) capacity *= 2;
  table_ = std::make_unique<uint32_t[]>(HEADER + capacity);
  table_[0] = static_cast<uint32_t>(capacity);
  for (uint32_t i = 0; i < members_.size(); ++i) {
    if (members_[i].key.null)
      table_[1] = i + 1;
    else
      table_[HEADER + probe(members_[i].key.text)] = i + 1;
  }
}

Value& Map::set(Key key, Value value) {
  if (Value* present = find(key)) {
    *present = std::move(value);
    return *present;
  }
  auto index = static_cast<uint32_t>(members_.size());
  bool indexed = table_ && 4 * (members_.size() + 1) <= 3 * size_t{table_[0]};
  if (indexed) {
    if (key.null)
      table_[1] = index + 1;
    else
      table_[HEADER + probe(key.text)] = index + 1;
  }
  members_.push_back(Member{std::move(key), std::move(value)});
  if (!indexed && members_.size() > SCANNED) reindex(members_.size());
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
  if (n > SCANNED && (!table_ || 4 * n > 3 * size_t{table_[0]})) reindex(n);
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
