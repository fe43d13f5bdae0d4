// HDXExtractSenderEmailAddrFromFromHdrField: the field afterwards against the one-cut-at-a-time
// model, the output terminated inside outSize, and everything as the general path leaves it. The
// first byte picks outSize.
#include "cut_model.h"
#include "general_path.h"
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
  hdx_fuzz::ExactBuffer general_field(data + 1, size - 1), general_out(out_size, '#');
  const auto extract = hdx_fuzz::general(&HDXExtractSenderEmailAddrFromFromHdrField,
                                         "HDXExtractSenderEmailAddrFromFromHdrField");
  hdx_fuzz::check(
      extract(general_field.data(), general_field.len(), general_out.data(), out_size) == rc &&
      general_out.str() == out.str());
  if (rc == 0 || out.data()[0] != '#') {
    hdx_fuzz::check(std::memchr(out.data(), '\0', out_size) != nullptr);
  }
  return 0;
}
