// HDXIsNotSpacePresent against a byte loop, over the whole input as an inclusive region.
#include "fuzz_input.h"
#include "hdx.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  hdx_fuzz::ExactBuffer buf(data, size);
  std::int32_t want = 0;
  for (std::size_t i = 0; i < size; ++i) want |= data[i] != ' ';
  // An empty input is passed as last = first - 1, computed as an address without forming it.
  const char* last = reinterpret_cast<const char*>(
      reinterpret_cast<std::uintptr_t>(buf.data()) + size - 1);
  hdx_fuzz::check(HDXIsNotSpacePresent(buf.data(), last) == want);
  return 0;
}
