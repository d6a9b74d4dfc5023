// The statistics document: ordered maps of texts, the one shape both XML schemas reduce to.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace corvane {

/// The text of a key in sixteen bytes: up to fifteen characters in place, longer ones in one
/// allocation of their own. A document holds a key for each of its hundreds of thousands of
/// counters, nearly all of them short names.
class KeyText {
 public:
  KeyText() { clearlocal(); }
  KeyText(std::string_view t) { init(t); }
  KeyText(const char* t) : KeyText(std::string_view(t)) {}
  KeyText(const std::string& t) : KeyText(std::string_view(t)) {}
  KeyText(const KeyText& other) : KeyText(other.view()) {}
  KeyText(KeyText&& other) noexcept {
    std::memcpy(bytes_, other.bytes_, sizeof bytes_);
    other.clearlocal();
  }
  KeyText& operator=(const KeyText& other) {
    if (this != &other) assign(other.view());
    return *this;
  }
  KeyText& operator=(KeyText&& other) noexcept {
    if (this != &other) {
      release();
      std::memcpy(bytes_, other.bytes_, sizeof bytes_);
      other.clearlocal();
    }
    return *this;
  }
  ~KeyText() { release(); }

  void assign(const char* s, size_t n) { assign(std::string_view(s, n)); }
  void assign(std::string_view t) {
    KeyText fresh(t);
    *this = std::move(fresh);
  }

  const char* data() const { return far() ? farchars() : reinterpret_cast<const char*>(bytes_); }
  size_t size() const { return far() ? farsize() : bytes_[TAG]; }
  bool empty() const { return size() == 0; }
  std::string_view view() const { return {data(), size()}; }
  operator std::string_view() const { return view(); }

  // One for each kind of text a key meets, so that none needs a conversion to be chosen.
  friend bool operator==(const KeyText& a, const KeyText& b) { return a.view() == b.view(); }
  friend bool operator==(const KeyText& a, std::string_view b) { return a.view() == b; }
  friend bool operator==(const KeyText& a, const std::string& b) { return a.view() == b; }
  friend bool operator==(const KeyText& a, const char* b) { return a.view() == b; }
  // Joins like a std::string, for code written against keys that were one.
  friend std::string operator+(const KeyText& a, std::string_view b) {
    return std::string(a.view()).append(b);
  }

 private:
  // In place: the characters, then their count in the last byte. Elsewhere: the address of
  // the characters, their count (32 bits), and FAR in the last byte.
  static constexpr size_t TAG = 15;
  static constexpr uint8_t FAR = 0xff;

  bool far() const { return bytes_[TAG] == FAR; }
  char* farchars() const {
    char* p;
    std::memcpy(&p, bytes_, sizeof p);
    return p;
  }
  uint32_t farsize() const {
    uint32_t n;
    std::memcpy(&n, bytes_ + sizeof(char*), sizeof n);
    return n;
  }
  void clearlocal() { bytes_[TAG] = 0; }
  void init(std::string_view t);
  void release() {
    if (far()) delete[] farchars();
  }

  alignas(char*) unsigned char bytes_[16];
  static_assert(sizeof(char*) + sizeof(uint32_t) <= TAG);
};

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
  // Where `text` sits among the slots, or the empty slot where it would go.
  size_t probe(std::string_view text) const;
  uint32_t slots() const;
  uint32_t slot(size_t i) const;
  void setslot(size_t i, uint32_t index);
  // Enters members_[index] in the table.
  void place(uint32_t index);
  void reindex(size_t expected);

  std::vector<Member> members_;
  // Open addressing over members_, a power of two in size and at most three quarters full;
  // null while the map is small enough to scan. A document holds hundreds of thousands of
  // counters in thousands of zone maps: one pointer keeps a Value no larger than its text,
  // and a tight table costs a byte or two per key.
  std::unique_ptr<unsigned char[]> table_;
};

using Array = std::vector<Value>;

/// A number, true or false read from a JSON text that this program did not write: kept as it
/// was written, and written back the same way. The program's own documents never hold one.
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

/// The nine sections of a new document, in the order of the JSON form.
inline constexpr std::array<std::string_view, 9> SECTIONS = {
    "zones",       "counter",    "zonemaintenancecounter", "resolvercounter", "socketcounter",
    "incounter",   "outcounter", "cache",                  "memory"};

/// A new document with the nine sections, each empty.
Document newdocument();

/// The section `name` of `doc`. A document without it, or where it is not a map (a cache
/// file that this program did not write), is a Failure naming the section.
Map& section(Document& doc, std::string_view name);

/// Stores a counter value in a section by the overwrite rule.
void setcounter(Document& doc, std::string_view sectionname, Key key, Value value);

/// Stores a zone's counter map in `zones`; a zone written again gets the later map whole.
void setzone(Document& doc, Key zone, Map counters);

}  // namespace corvane
