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

// The first position q in [p, end) where the two bytes a, b stand, or nullptr: the leftmost full
// match of a two-byte pattern. With SSE2 each block is tested against both bytes at once; a
// block is loaded only when it and the byte after it lie inside the range.
inline const std::uint8_t* find_pair(const std::uint8_t* p, const std::uint8_t* end,
                                     std::uint8_t a, std::uint8_t b) noexcept {
  if (end - p < 2) return nullptr;
  if (p[0] == a && p[1] == b) return p;
#if defined(__SSE2__)
  if (end - p >= 17) {
    const __m128i first = _mm_set1_epi8(static_cast<char>(a));
    const __m128i second = _mm_set1_epi8(static_cast<char>(b));
    const auto match = [&](const std::uint8_t* at) {
      const auto* v = reinterpret_cast<const __m128i*>(at);
      const auto* w = reinterpret_cast<const __m128i*>(at + 1);
      return static_cast<unsigned>(_mm_movemask_epi8(
          _mm_cmpeq_epi8(_mm_loadu_si128(v), first) & _mm_cmpeq_epi8(_mm_loadu_si128(w), second)));
    };
    for (; end - p >= 17; p += 16) {
      if (const unsigned bits = match(p)) return p + __builtin_ctz(bits);
    }
    if (end - p < 2) return nullptr;
    // The candidates left, [p, end - 1), within the last block that still has a byte after it.
    const unsigned bits = match(end - 17) >> static_cast<unsigned>(17 - (end - p));
    return bits != 0 ? p + __builtin_ctz(bits) : nullptr;
  }
#endif
  for (p = find_byte(p, end - 1, a); p != nullptr; p = find_byte(p + 1, end - 1, a)) {
    if (p[1] == b) return p;
  }
  return nullptr;
}

}  // namespace hdx::detail

#endif  // HDX_SCAN_SEARCH_H
