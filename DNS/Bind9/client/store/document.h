// The statistics document: ordered maps of texts, the one shape both XML schemas reduce to.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "store/hashindex.h"
#include "store/keytext.h"
#include "store/sections.h"

namespace corvane {

/// A map key: a text, or the null key (a record that had no name element). In memory the
/// null key and the text "null" are different keys; the JSON form writes both as null.
struct Key {
  KeyText text;
  bool null = false;

  Key() = default;
  Key(const std::string& t) : text(t) {}
  Key(std::string_view t) : text(t) {}
  Key(const char* t) : text(t) {}
  static Key none() {
    Key k;
    k.null = true;
    return k;
  }
  bool operator==(const Key&) const = default;
};

struct Value;
struct Member;

/// A map that keeps its keys in the order of first insertion. Writing a key that is present
/// replaces its value and leaves it where it was: the first write decides the position, the
/// last one the value. Lookups in all but the smallest maps go through a hash index, never a
/// scan.
class Map {
 public:
  Map();
  Map(const Map&);
  Map(Map&&) noexcept;
  Map& operator=(const Map&);
  Map& operator=(Map&&) noexcept;
  ~Map();

  Value* find(const Key& key);
  const Value* find(const Key& key) const;
  bool contains(const Key& key) const { return find(key) != nullptr; }
  /// Stores `value` under `key` by the overwrite rule; returns the stored value.
  Value& set(Key key, Value value);
  /// Removes `key`; the other keys keep their order. Returns whether it was present.
  bool erase(const Key& key);

  size_t size() const;
  bool empty() const { return size() == 0; }
  const std::vector<Member>& members() const;
  void reserve(size_t n);

 private:
  void reindex(size_t expected);

  std::vector<Member> members_;
  // No slots while the map is small enough to scan. A document holds hundreds of thousands of
  // counters in thousands of zone maps: one pointer keeps a Value no larger than its text,
  // and the index costs a byte or two per key.
  HashIndex index_;
};

using Array = std::vector<Value>;

/// A value kept as its JSON text, and written back the same way: a number, true or false read
/// from a JSON text that this program did not write, or a zone map that a fetch keeps packed
/// (see packed), a fraction of the map's memory.
struct Literal {
  std::string text;
  bool operator==(const Literal&) const = default;
};

/// A counter value (a text or null), a map, an array, or a literal from a foreign file.
struct Value {
  std::variant<std::monostate, std::string, Map, Array, Literal> v;

  Value() = default;
  Value(std::string t) : v(std::move(t)) {}
  Value(std::string_view t) : v(std::string(t)) {}
  Value(const char* t) : v(std::string(t)) {}
  Value(Map m) : v(std::move(m)) {}
  Value(Array a) : v(std::move(a)) {}
  Value(Literal l) : v(std::move(l)) {}

  bool isnull() const { return std::holds_alternative<std::monostate>(v); }
  const std::string* text() const { return std::get_if<std::string>(&v); }
  const Map* map() const { return std::get_if<Map>(&v); }
  Map* map() { return std::get_if<Map>(&v); }
  const Array* array() const { return std::get_if<Array>(&v); }
  const Literal* literal() const { return std::get_if<Literal>(&v); }
};

struct Member {
  Key key;
  Value value;
};

/// The document: section name to section. Sections are maps; `zones` maps a zone name to
/// its counter map.
using Document = Map;

/// A new document with the nine sections, each empty.
Document newdocument();

/// The section `name` of `doc`. A document without it, or where it is not a map (a cache
/// file that this program did not write), is a Failure naming the section.
Map& section(Document& doc, std::string_view name);
inline Map& section(Document& doc, Section s) { return section(doc, nameof(s)); }

/// Stores a counter value in a section by the overwrite rule.
void setcounter(Document& doc, std::string_view sectionname, Key key, Value value);

/// Stores a zone's counter map in `zones`; a zone written again gets the later map whole.
void setzone(Document& doc, Key zone, Map counters);

}  // namespace corvane
