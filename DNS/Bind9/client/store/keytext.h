// The text of a map key, in sixteen bytes when it is short. In its place, std::string (32
// bytes, fifteen characters in place too) made the peak memory of a fetch of 10,000 zones 13%
// larger (96 MB instead of 85) for its some 750,000 keys, and the fetch 3.5% slower.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

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

}  // namespace corvane
