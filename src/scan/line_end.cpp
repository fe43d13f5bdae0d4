// HDXFindEmailLineEnd: the C edge over find_line_end.
#include "scan/line_end.h"

#include "hdx.h"

extern "C" HDX_EXPORT std::int32_t HDXFindEmailLineEnd(const char* buf, std::uint32_t bufLen,
                                                       std::uint32_t* lineLen,
                                                       std::uint32_t* eolLen) {
  if (buf == nullptr || bufLen == 0 || lineLen == nullptr || eolLen == nullptr) return HDX_FAIL;
  const auto end = hdx::detail::find_line_end(hdx::detail::from_span(buf, bufLen));
  if (end.line_len == 0) return HDX_FAIL;
  *lineLen = end.line_len;
  *eolLen = end.eol_len;
  return HDX_OK;
}
