// HDXExtractSenderIPFromRcvdHdrField: the field is unfolded as by the model, an address is a
// range inside the unfolded content that no blank or bracket interrupts, and the general path
// finds the same one.
#include "fold_model.h"
#include "general_path.h"
#include "hdx.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  hdx_fuzz::ExactBuffer buf(data, size);
  std::string unfolded = buf.str();
  const std::uint32_t n = hdx_test::unfold_by_moves(unfolded);
  char* ip = nullptr;
  std::uint32_t ip_len = 0;
  const std::int32_t rc = HDXExtractSenderIPFromRcvdHdrField(buf.data(), buf.len(), &ip, &ip_len);
  hdx_fuzz::check(buf.str() == unfolded);
  hdx_fuzz::ExactBuffer general_buf(data, size);
  char* general_ip = nullptr;
  std::uint32_t general_len = 0;
  const auto extract =
      hdx_fuzz::general(&HDXExtractSenderIPFromRcvdHdrField, "HDXExtractSenderIPFromRcvdHdrField");
  const std::int32_t general_rc =
      extract(general_buf.data(), general_buf.len(), &general_ip, &general_len);
  hdx_fuzz::check(
      general_rc == rc &&
      (rc == -1 || (general_ip - general_buf.data() == ip - buf.data() && general_len == ip_len)));
  if (rc == -1) return 0;
  hdx_fuzz::check(rc == 0 && ip >= buf.data() && ip + ip_len < buf.data() + n);
  hdx_fuzz::check(ip > buf.data() + 9);
  for (std::uint32_t i = 0; i < ip_len; ++i) {
    const char c = ip[i];
    hdx_fuzz::check(c != ' ' && c != '\t' && c != ']' && c != ')');
  }
  return 0;
}
