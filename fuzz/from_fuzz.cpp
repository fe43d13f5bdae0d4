// HDXExtractSenderEmailAddrFromFromHdrField: the field afterwards against the one-cut-at-a-time
// model, and the output terminated inside outSize. The first byte picks outSize.
#include "cut_model.h"
#include "fuzz_input.h"
#include "hdx.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::uint32_t out_size = 1 + data[0] % 40;
  hdx_fuzz::ExactBuffer field(data + 1, size - 1);
  hdx_fuzz::ExactBuffer out(out_size, '#');
  const std::string want = hdx_test::from_field_after_cuts(field.str());
  const std::int32_t rc =
      HDXExtractSenderEmailAddrFromFromHdrField(field.data(), field.len(), out.data(), out_size);
  hdx_fuzz::check(field.str() == want);
  hdx_fuzz::check(rc == 0 || rc == -1);
  if (rc == 0 || out.data()[0] != '#') {
    hdx_fuzz::check(std::memchr(out.data(), '\0', out_size) != nullptr);
  }
  return 0;
}
