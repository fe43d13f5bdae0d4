// HDXUnfoldEmailHdrLine against the fold-by-fold model and the general path: same length, same
// whole buffer.
#include "fold_model.h"
#include "general_path.h"
#include "hdx.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  hdx_fuzz::ExactBuffer buf(data, size);
  std::string want = buf.str();
  const std::uint32_t want_len = hdx_test::unfold_by_moves(want);
  hdx_fuzz::check(HDXUnfoldEmailHdrLine(buf.data(), buf.len()) == want_len);
  hdx_fuzz::check(buf.str() == want);
  hdx_fuzz::ExactBuffer general_buf(data, size);
  const auto unfold = hdx_fuzz::general(&HDXUnfoldEmailHdrLine, "HDXUnfoldEmailHdrLine");
  hdx_fuzz::check(unfold(general_buf.data(), general_buf.len()) == want_len);
  return 0;
}
