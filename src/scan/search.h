// Pattern search that also reports a pattern cut off by the end of the span.
#ifndef HDX_SCAN_SEARCH_H
#define HDX_SCAN_SEARCH_H

#include <cstdint>

#include "scan/bytes.h"

namespace hdx::detail {

struct Match {
  const std::uint8_t* at;  // nullptr when nothing matched
  std::uint32_t len;       // < the pattern's length for a match cut off by the span's end
};

// The leftmost position where the pattern, or a prefix of it that runs to the span's end,
// matches. Candidates are found a word at a time by the pattern's first byte, so the cost is
// linear in the span for a fixed pattern length.
inline Match search_pattern(Bytes span, Bytes pattern) noexcept {
  if (span.size() == 0 || pattern.size() == 0) return {nullptr, 0};
  for (const std::uint8_t* p = span.p;; ++p) {
    p = find_byte(p, span.end, pattern.p[0]);
    if (p == nullptr) return {nullptr, 0};
    const std::uint32_t left = static_cast<std::uint32_t>(span.end - p);
    const std::uint32_t n = left < pattern.size() ? left : pattern.size();
    std::uint32_t k = 1;
    while (k < n && p[k] == pattern.p[k]) ++k;
    if (k == n) return {p, n};
  }
}

}  // namespace hdx::detail

#endif  // HDX_SCAN_SEARCH_H
