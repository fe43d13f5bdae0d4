// Defines T_memcpy, T_memcmp, T_time and T_localtime in the test executable. They are exported
// from it, so the dynamic loader binds libhdx.so's references to them, as in a real host.
#include "host_shim.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>

#include "host/host.h"

namespace hdx_test {
Clock& clock() {
  static Clock c;
  return c;
}
}  // namespace hdx_test

extern "C" void* T_memcpy(void* dst, const void* src, std::uint32_t n) {
  const auto d = reinterpret_cast<std::uintptr_t>(dst);
  const auto s = reinterpret_cast<std::uintptr_t>(src);
  // The library may only rely on a move downwards; a copy upwards over its own source is a bug.
  if (d > s && d < s + n) ADD_FAILURE() << "T_memcpy: destination overlaps above the source";
  if (n != 0 && (dst == nullptr || src == nullptr)) ADD_FAILURE() << "T_memcpy: null with count";
  return std::memmove(dst, src, n);
}

extern "C" int T_memcmp(const void* a, const void* b, std::uint32_t n) {
  return std::memcmp(a, b, n);
}

extern "C" std::time_t T_time(std::time_t* t) {
  auto& c = hdx_test::clock();
  if (c.time_fails) return static_cast<std::time_t>(-1);
  const std::time_t now = c.fixed ? c.now : std::time(nullptr);
  if (t != nullptr) *t = now;
  return now;
}

extern "C" std::tm* T_localtime(const std::time_t* t) {
  static thread_local std::tm record;
  if (hdx_test::clock().localtime_fails) return nullptr;
  return localtime_r(t, &record);
}
