#include "store/document.h"

#include <algorithm>
#include <memory>
#include <utility>

#include "endrun.h"

namespace corvane {

namespace {

// Maps up to this size are scanned: comparing a few short keys costs less than hashing one.
constexpr size_t SCANNED = 8;

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

// The table: the number of slots and the null key's index + 1 (0: none), four bytes each,
// then the slots, each the index + 1 of a member (0: empty) in as few bytes as the number of
// slots needs. A zone's map of a hundred counters takes a byte a slot.
namespace {

constexpr size_t HEADERBYTES = 8;

uint32_t loadword(const unsigned char* at) {
  uint32_t v;
  std::memcpy(&v, at, sizeof v);
  return v;
}

void storeword(unsigned char* at, uint32_t v) { std::memcpy(at, &v, sizeof v); }

size_t slotwidth(size_t slots) { return slots <= 256 ? 1 : slots <= 65536 ? 2 : 4; }

size_t tablebytes(size_t slots) { return HEADERBYTES + slots * slotwidth(slots); }

}  // namespace

uint32_t Map::slots() const { return loadword(table_.get()); }

uint32_t Map::slot(size_t i) const {
  const unsigned char* at = table_.get() + HEADERBYTES;
  switch (slotwidth(slots())) {
    case 1:
      return at[i];
    case 2: {
      uint16_t v;
      std::memcpy(&v, at + 2 * i, sizeof v);
      return v;
    }
    default:
      return loadword(at + 4 * i);
  }
}

void Map::setslot(size_t i, uint32_t index) {
  unsigned char* at = table_.get() + HEADERBYTES;
  switch (slotwidth(slots())) {
    case 1:
      at[i] = static_cast<unsigned char>(index);
      break;
    case 2: {
      auto v = static_cast<uint16_t>(index);
      std::memcpy(at + 2 * i, &v, sizeof v);
      break;
    }
    default:
      storeword(at + 4 * i, index);
  }
}

Map::Map(const Map& other) : members_(other.members_) {
  if (other.table_) {
    size_t n = tablebytes(other.slots());
    table_ = std::make_unique_for_overwrite<unsigned char[]>(n);
    std::memcpy(table_.get(), other.table_.get(), n);
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
  uint32_t index = key.null ? loadword(table_.get() + 4) : slot(probe(key.text));
  return index == 0 ? nullptr : &members_[index - 1].value;
}

size_t Map::probe(std::string_view text) const {
  size_t mask = slots() - 1;
  for (size_t i = hashof(text) & mask;; i = (i + 1) & mask) {
    uint32_t index = slot(i);
    if (index == 0) return i;
    const Member& m = members_[index - 1];
    if (!m.key.null && m.key.text == text) return i;
  }
}

void Map::place(uint32_t index) {
  const Key& key = members_[index].key;
  if (key.null)
    storeword(table_.get() + 4, index + 1);
  else
    setslot(probe(key.text), index + 1);
}

void Map::reindex(size_t expected) {
  table_.reset();
  if (expected <= SCANNED) return;
  size_t capacity = 16;
  while (3 * capacity < 4 * expected) capacity *= 2;
  table_ = std::make_unique<unsigned char[]>(tablebytes(capacity));
  storeword(table_.get(), static_cast<uint32_t>(capacity));
  for (uint32_t i = 0; i < members_.size(); ++i) place(i);
}

Value& Map::set(Key key, Value value) {
  if (Value* present = find(key)) {
    *present = std::move(value);
    return *present;
  }
  members_.push_back(Member{std::move(key), std::move(value)});
  if (table_ && 4 * members_.size() <= 3 * size_t{slots()})
    place(static_cast<uint32_t>(members_.size() - 1));
  else if (members_.size() > SCANNED)
    reindex(members_.size());
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
  if (n > SCANNED && (!table_ || 4 * n > 3 * size_t{slots()})) reindex(n);
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
