#include "store/document.h"

#include "endrun.h"

namespace corvane {

Map::Map() = default;
Map::Map(const Map&) = default;
Map::Map(Map&&) noexcept = default;
Map& Map::operator=(const Map&) = default;
Map& Map::operator=(Map&&) noexcept = default;
Map::~Map() = default;

Value* Map::find(const Key& key) {
  return const_cast<Value*>(std::as_const(*this).find(key));
}

const Value* Map::find(const Key& key) const {
  if (key.null) return nullslot_ < 0 ? nullptr : &members_[nullslot_].value;
  auto it = index_.find(std::string_view(key.text));
  return it == index_.end() ? nullptr : &members_[it->second].value;
}

Value& Map::set(Key key, Value value) {
  if (Value* present = find(key)) {
    *present = std::move(value);
    return *present;
  }
  auto slot = static_cast<uint32_t>(members_.size());
  if (key.null)
    nullslot_ = slot;
  else
    index_.emplace(key.text, slot);
  members_.push_back(Member{std::move(key), std::move(value)});
  return members_.back().value;
}

bool Map::erase(const Key& key) {
  if (!find(key)) return false;
  std::erase_if(members_, [&](const Member& m) { return m.key == key; });
  index_.clear();
  nullslot_ = -1;
  for (uint32_t i = 0; i < members_.size(); ++i) {
    if (members_[i].key.null)
      nullslot_ = i;
    else
      index_.emplace(members_[i].key.text, i);
  }
  return true;
}

size_t Map::size() const { return members_.size(); }
const std::vector<Member>& Map::members() const { return members_; }

void Map::reserve(size_t n) {
  members_.reserve(n);
  index_.reserve(n);
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
