// The hash of a byte string, and the open-addressing index that finds texts by it: a map's
// keys, the names of an XML tree and the attribute values it keeps once. In their place,
// std::unordered_map (with this same hash) made a fetch of 10,000 zones 24% slower and its
// peak memory 78% larger (150 MB instead of 85): a Map holding one grows from 32 bytes to 88,
// and each key costs some 40 bytes of nodes and buckets instead of one or two.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string_view>

namespace corvane {

namespace hashing {

__extension__ typedef unsigned __int128 Wide;

inline uint64_t load8(const char* p) {
  uint64_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

inline uint64_t load4(const char* p) {
  uint32_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

// The two halves of the full product folded into one: every bit of either factor reaches
// the low bits, which pick an index's slot.
inline uint64_t mix(uint64_t a, uint64_t b) {
  Wide product = static_cast<Wide>(a) * b;
  return static_cast<uint64_t>(product) ^ static_cast<uint64_t>(product >> 64);
}

inline constexpr uint64_t SEED = 0x9e3779b97f4a7c15ULL;
inline constexpr uint64_t ODD = 0xd1b54a32d192ed03ULL;

}  // namespace hashing

/// A 64-bit hash of `bytes`, sixteen bytes to a multiplication. No seed is drawn at run time:
/// the same bytes give the same hash in every run of the same build (the words are read in
/// the machine's byte order). Short texts, most of what the program hashes, take two
/// multiplications and no loop.
inline uint64_t hashbytes(std::string_view bytes) {
  using namespace hashing;
  const char* p = bytes.data();
  size_t n = bytes.size();
  uint64_t a = 0, b = 0, h = SEED;
  if (n <= 16) {
    if (n >= 4) {
      // Two overlapping reads from each end cover every byte of 4 to 16.
      size_t inner = (n >> 3) << 2;
      a = load4(p) << 32 | load4(p + inner);
      b = load4(p + n - 4) << 32 | load4(p + n - 4 - inner);
    } else if (n > 0) {
      a = uint64_t{static_cast<unsigned char>(p[0])} << 16 |
          uint64_t{static_cast<unsigned char>(p[n >> 1])} << 8 | static_cast<unsigned char>(p[n - 1]);
    }
  } else {
    while (n > 16) {
      h = mix(load8(p) ^ ODD, load8(p + 8) ^ h);
      p += 16;
      n -= 16;
    }
    // The last sixteen bytes, overlapping what the loop took.
    a = load8(p + n - 16);
    b = load8(p + n - 8);
  }
  return mix(ODD ^ bytes.size(), mix(a ^ ODD, b ^ h));
}

/// Open addressing with linear probing over a power of two of slots, at most three quarters
/// full. A slot holds the number of an entry that its owner keeps (a member, a name, a value),
/// plus one (0: empty), in one, two or four bytes as the number of slots needs: an index of a
/// hundred entries costs a byte an entry. The index holds no texts: the owner's `same` tells
/// whether an entry is the one sought. Entries are only added; an owner that removes one
/// builds its index anew.
class HashIndex {
 public:
  static constexpr uint32_t NOENTRY = UINT32_MAX;

  /// No slots: `fits` holds for nothing.
  HashIndex() = default;
  /// Empty, with room for `entries`.
  explicit HashIndex(size_t entries) {
    size_t slots = 16;
    while (3 * slots < 4 * entries) slots *= 2;
    bytes_ = std::make_unique<unsigned char[]>(HEADER + slots * width(slots));
    auto n = static_cast<uint32_t>(slots);
    std::memcpy(bytes_.get(), &n, sizeof n);
  }
  HashIndex(const HashIndex& other) {
    if (!other.bytes_) return;
    size_t n = HEADER + size_t{other.slots()} * width(other.slots());
    bytes_ = std::make_unique_for_overwrite<unsigned char[]>(n);
    std::memcpy(bytes_.get(), other.bytes_.get(), n);
  }
  HashIndex& operator=(const HashIndex& other) {
    if (this != &other) *this = HashIndex(other);
    return *this;
  }
  HashIndex(HashIndex&&) noexcept = default;
  HashIndex& operator=(HashIndex&&) noexcept = default;

  explicit operator bool() const { return bytes_ != nullptr; }
  uint32_t slots() const {
    uint32_t n;
    std::memcpy(&n, bytes_.get(), sizeof n);
    return n;
  }
  /// Whether `entries` entries stay within three quarters of the slots.
  bool fits(size_t entries) const { return bytes_ && 4 * entries <= 3 * size_t{slots()}; }

  /// The outcome of a search: the entry and its slot, or NOENTRY and the empty slot where the
  /// entry sought would go.
  struct Found {
    size_t slot;
    uint32_t entry;
  };

  /// The entry with hash `hash` that `same(entry)` accepts. The index must have slots.
  template <class Same>
  Found find(uint64_t hash, Same same) const {
    switch (width(slots())) {
      case 1:
        return search<uint8_t>(hash, same);
      case 2:
        return search<uint16_t>(hash, same);
      default:
        return search<uint32_t>(hash, same);
    }
  }

  /// Enters `entry` in `slot`, the empty one that `find` gave.
  void put(size_t slot, uint32_t entry) {
    unsigned char* at = bytes_.get() + HEADER;
    switch (width(slots())) {
      case 1:
        store<uint8_t>(at, slot, entry);
        break;
      case 2:
        store<uint16_t>(at, slot, entry);
        break;
      default:
        store<uint32_t>(at, slot, entry);
    }
  }

  /// Enters `entry`, known to be absent, under `hash`.
  void add(uint64_t hash, uint32_t entry) {
    put(find(hash, [](uint32_t) { return false; }).slot, entry);
  }

  /// What findoradd found: the entry, and whether it is the one just entered.
  struct Entry {
    uint32_t entry;
    bool added;
  };

  /// The entry with hash `hash` that `same(entry)` accepts. Without one, entry number `count`,
  /// the one its owner is about to add, is entered under `hash`; when that would fill more than
  /// three quarters of the slots, the index grows and enters anew each of the `count` entries
  /// there are, `hashof(entry)` giving the hash of each. The index must have slots.
  template <class Same, class HashOf>
  Entry findoradd(uint64_t hash, size_t count, Same same, HashOf hashof) {
    Found found = find(hash, same);
    if (found.entry != NOENTRY) return Entry{found.entry, false};
    auto entry = static_cast<uint32_t>(count);
    if (fits(count + 1)) {
      put(found.slot, entry);
    } else {
      *this = HashIndex(count + 1);
      for (uint32_t e = 0; e < entry; ++e) add(hashof(e), e);
      add(hash, entry);
    }
    return Entry{entry, true};
  }

 private:
  // The number of slots, then the slots.
  static constexpr size_t HEADER = sizeof(uint32_t);

  static size_t width(size_t slots) { return slots <= 256 ? 1 : slots <= 65536 ? 2 : 4; }

  template <class Slot>
  static void store(unsigned char* at, size_t slot, uint32_t entry) {
    auto v = static_cast<Slot>(entry + 1);
    std::memcpy(at + slot * sizeof(Slot), &v, sizeof v);
  }

  template <class Slot, class Same>
  Found search(uint64_t hash, Same& same) const {
    const unsigned char* at = bytes_.get() + HEADER;
    size_t mask = slots() - 1;
    for (size_t i = hash & mask;; i = (i + 1) & mask) {
      Slot v;
      std::memcpy(&v, at + i * sizeof(Slot), sizeof v);
      if (v == 0) return Found{i, NOENTRY};
      if (same(uint32_t{v} - 1)) return Found{i, uint32_t{v} - 1};
    }
  }

  std::unique_ptr<unsigned char[]> bytes_;
};

}  // namespace corvane
