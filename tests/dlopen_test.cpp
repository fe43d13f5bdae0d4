// A host that does not link libhdx.so: it loads it at run time and binds the entry points by
// name, while the library binds the T_ services exported from this executable.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace {

using UnfoldFn = std::uint32_t (*)(char*, std::uint32_t);
using RcvdFn = std::int32_t (*)(char*, std::uint32_t, char**, std::uint32_t*);

TEST(Dlopen, LoadsBindsAndRuns) {
  void* lib = dlopen(HDX_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(lib, nullptr) << dlerror();
  auto unfold = reinterpret_cast<UnfoldFn>(dlsym(lib, "HDXUnfoldEmailHdrLine"));
  auto rcvd = reinterpret_cast<RcvdFn>(dlsym(lib, "HDXExtractSenderIPFromRcvdHdrField"));
  ASSERT_NE(unfold, nullptr);
  ASSERT_NE(rcvd, nullptr);
  EXPECT_EQ(dlsym(lib, "_ZN3hdx6detail6unfoldEPhj"), nullptr);  // internals stay hidden

  std::string folded = "A: x\r\n y\r\n";
  EXPECT_EQ(unfold(folded.data(), static_cast<std::uint32_t>(folded.size())), 8u);
  std::string field = "Received: from a (b [198.51.100.7]) by c\r\n";
  char* ip = nullptr;
  std::uint32_t len = 0;
  ASSERT_EQ(rcvd(field.data(), static_cast<std::uint32_t>(field.size()), &ip, &len), 0);
  EXPECT_EQ(std::string(ip, len), "198.51.100.7");
  EXPECT_EQ(dlclose(lib), 0);
}

}  // namespace
