#include "base/beside.h"

#include <cstdint>
#include <ctime>
#include <unistd.h>

namespace corvane {

std::string indexpath(const std::string& cache) { return cache + ".index"; }

std::string lockpath(const std::string& cache) { return cache + ".lock"; }

std::string temporaryname(const std::string& target, unsigned attempt) {
  timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  uint64_t x = static_cast<uint64_t>(getpid()) * 0x9e3779b97f4a7c15ULL ^
               static_cast<uint64_t>(ts.tv_nsec) ^ static_cast<uint64_t>(attempt) << 40;
  static constexpr char DIGITS[] = "abcdefghijklmnopqrstuvwxyz012345";
  std::string name = target + ".";
  for (int i = 0; i < 8; ++i, x >>= 5) name += DIGITS[x & 31];
  return name;
}

}  // namespace corvane
