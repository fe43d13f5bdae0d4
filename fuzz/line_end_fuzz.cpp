// HDXFindEmailLineEnd against a byte loop.
#include "fuzz_input.h"
#include "hdx.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  hdx_fuzz::ExactBuffer buf(data, size);
  std::uint32_t line_len = 0, eol_len = 0;
  const std::int32_t rc = HDXFindEmailLineEnd(buf.data(), buf.len(), &line_len, &eol_len);
  std::size_t lf = 0;
  while (lf < size && data[lf] != '\n') ++lf;
  if (lf == size) {
    hdx_fuzz::check(rc == -1 && line_len == 0 && eol_len == 0);
  } else {
    hdx_fuzz::check(rc == 0 && line_len == lf + 1);
    hdx_fuzz::check(eol_len == (lf > 0 && data[lf - 1] == '\r' ? 2u : 1u));
  }
  return 0;
}
