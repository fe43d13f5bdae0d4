// HDXFindEmailQuotedStringEnd against the literal scan.
#include "hdx.h"
#include "token_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  hdx_fuzz::fuzz_token(data, size, '"', '"', false, HDXFindEmailQuotedStringEnd);
  return 0;
}
