// HDXSearchPattern and HDXIsNotSpacePresent: the C edges over the span scans.
#include "scan/search.h"

#include "hdx.h"

extern "C" HDX_EXPORT std::int32_t HDXSearchPattern(const char* buf, std::uint32_t bufLen,
                                                    const char* pattern, std::uint32_t patternLen,
                                                    const char** matchStart,
                                                    std::uint32_t* matchLen) {
  using namespace hdx::detail;
  if (buf == nullptr || pattern == nullptr || matchStart == nullptr || matchLen == nullptr) {
    return HDX_FAIL;
  }
  const Match m = search_pattern(from_span(buf, bufLen), from_span(pattern, patternLen));
  if (m.at == nullptr) return HDX_FAIL;
  *matchStart = buf + (m.at - reinterpret_cast<const std::uint8_t*>(buf));
  *matchLen = m.len;
  return m.len == patternLen ? HDX_OK : HDX_PARTIAL_MATCH;
}

extern "C" HDX_EXPORT std::int32_t HDXIsNotSpacePresent(const char* first, const char* last) {
  if (first == nullptr || last == nullptr) return 0;
  const auto span = hdx::detail::from_inclusive(first, last);
  for (const std::uint8_t* p = span.p; p < span.end; ++p) {
    if (*p != ' ') return 1;
  }
  return 0;
}
