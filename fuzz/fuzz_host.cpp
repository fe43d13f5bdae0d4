// The host runtime for fuzz targets: libc underneath, and a crash on any request that the library
// must never make, so that the fuzzer reports it.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "host/host.h"

extern "C" void* T_memcpy(void* dst, const void* src, std::uint32_t n) {
  const auto d = reinterpret_cast<std::uintptr_t>(dst);
  const auto s = reinterpret_cast<std::uintptr_t>(src);
  if (d > s && d < s + n) std::abort();  // a move upwards over its own source
  return std::memmove(dst, src, n);
}

extern "C" int T_memcmp(const void* a, const void* b, std::uint32_t n) {
  return std::memcmp(a, b, n);
}

extern "C" std::time_t T_time(std::time_t* t) { return std::time(t); }

extern "C" std::tm* T_localtime(const std::time_t* t) {
  static thread_local std::tm record;
  return localtime_r(t, &record);
}
