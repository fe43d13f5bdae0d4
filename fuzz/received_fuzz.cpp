// HDXExtractSenderIPFromRcvdHdrField: the field is unfolded as by the model, and an address is
// a range inside the unfolded content that no blank or bracket interrupts.
#include "fold_model.h"
#include "fuzz_input.h"
#include "hdx.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  hdx_fuzz::ExactBuffer buf(data, size);
  std::string unfolded = buf.str();
  const std::uint32_t n = hdx_test::unfold_by_moves(unfolded);
  char* ip = nullptr;
  std::uint32_t ip_len = 0;
  const std::int32_t rc = HDXExtractSenderIPFromRcvdHdrField(buf.data(), buf.len(), &ip, &ip_len);
  hdx_fuzz::check(buf.str() == unfolded);
  if (rc == -1) return 0;
  hdx_fuzz::check(rc == 0 && ip >= buf.data() && ip + ip_len < buf.data() + n);
  hdx_fuzz::check(ip > buf.data() + 9);
  for (std::uint32_t i = 0; i < ip_len; ++i) {
    const char c = ip[i];
    hdx_fuzz::check(c != ' ' && c != '\t' && c != ']' && c != ')');
  }
  return 0;
}
