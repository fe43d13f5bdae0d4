// HDXExtractSenderEmailAddrFromReturnPathHdrField behaves exactly as the From entry point:
// the same result, output and field afterwards.
#include "fuzz_input.h"
#include "hdx.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::uint32_t out_size = 1 + data[0] % 40;
  hdx_fuzz::ExactBuffer a(data + 1, size - 1), b(data + 1, size - 1);
  char out_a[40], out_b[40];
  std::memset(out_a, '#', sizeof out_a);
  std::memset(out_b, '#', sizeof out_b);
  const std::int32_t rc_a =
      HDXExtractSenderEmailAddrFromReturnPathHdrField(a.data(), a.len(), out_a, out_size);
  const std::int32_t rc_b =
      HDXExtractSenderEmailAddrFromFromHdrField(b.data(), b.len(), out_b, out_size);
  hdx_fuzz::check(rc_a == rc_b && a.str() == b.str());
  hdx_fuzz::check(std::memcmp(out_a, out_b, sizeof out_a) == 0);
  return 0;
}
