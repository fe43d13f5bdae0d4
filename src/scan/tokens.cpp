// HDXFindEmailCommentEnd and HDXFindEmailQuotedStringEnd: the C edges over the token scans.
#include "scan/tokens.h"

#include "hdx.h"

namespace {

using Measure = std::uint32_t (*)(hdx::detail::Bytes) noexcept;

// The region must hold the opening delimiter and at least one byte after it; the integer compare
// keeps `start + 1` from wrapping. Only then is the byte at start read.
std::int32_t measure_token(const char* start, const char* last, std::uint32_t* tokenLen,
                           char open, Measure measure) {
  if (start == nullptr || last == nullptr || tokenLen == nullptr) return HDX_FAIL;
  const auto first = reinterpret_cast<std::uintptr_t>(start);
  if (reinterpret_cast<std::uintptr_t>(last) <= first) return HDX_FAIL;
  if (*start != open) return HDX_FAIL;
  const std::uint32_t len = measure(hdx::detail::from_inclusive(start, last));
  if (len == 0) return HDX_FAIL;
  *tokenLen = len;
  return HDX_OK;
}

}  // namespace

extern "C" HDX_EXPORT std::int32_t HDXFindEmailCommentEnd(const char* start, const char* last,
                                                          std::uint32_t* tokenLen) {
  return measure_token(start, last, tokenLen, '(', hdx::detail::comment_len);
}

extern "C" HDX_EXPORT std::int32_t HDXFindEmailQuotedStringEnd(const char* start,
                                                               const char* last,
                                                               std::uint32_t* tokenLen) {
  return measure_token(start, last, tokenLen, '"', hdx::detail::quoted_string_len);
}
