#include "store/keytext.h"

#include "base/ending.h"

namespace corvane {

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

}  // namespace corvane
