// HDXFindEmailCommentEnd against the literal nesting scan.
#include "hdx.h"
#include "token_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  hdx_fuzz::fuzz_token(data, size, '(', ')', true, HDXFindEmailCommentEnd);
  return 0;
}
