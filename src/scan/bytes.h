// Byte-level helpers shared by the scanners and extractors: views over caller bytes,
// byte classes and a word-at-a-time byte search.
#ifndef HDX_SCAN_BYTES_H
#define HDX_SCAN_BYTES_H

#include <cstddef>
#include <cstdint>

namespace hdx::detail {

// Half-open view [p, end) over caller bytes; never owns, never outlives the call.
struct Bytes {
  const std::uint8_t* p;
  const std::uint8_t* end;
  constexpr std::uint32_t size() const noexcept { return static_cast<std::uint32_t>(end - p); }
};

inline Bytes from_span(const char* buf, std::uint32_t len) noexcept {
  const auto* p = reinterpret_cast<const std::uint8_t*>(buf);
  return {p, p + len};
}

// Integer compare: an inverted pair collapses to empty without forming a pointer below `first`.
inline Bytes from_inclusive(const char* first, const char* last) noexcept {
  const auto f = reinterpret_cast<std::uintptr_t>(first);
  const auto l = reinterpret_cast<std::uintptr_t>(last);
  const auto* p = reinterpret_cast<const std::uint8_t*>(first);
  return {p, l < f ? p : p + (l - f) + 1};
}

constexpr bool is_blank(std::uint8_t c) noexcept { return c == ' ' || c == '\t'; }

// Returns the first byte in [p, end) equal to c, or nullptr. Compares a machine word at a time
// once p is aligned; a word is read only when all of it lies inside the range, and the byte that
// matched is then found by a plain byte loop, so the result never depends on byte order.
inline const std::uint8_t* find_byte(const std::uint8_t* p, const std::uint8_t* end,
                                     std::uint8_t c) noexcept {
  using Word [[gnu::may_alias]] = std::uintptr_t;
  constexpr Word kOnes = ~Word{0} / 0xFF;
  constexpr Word kHighBits = kOnes * 0x80;
  while (p < end && reinterpret_cast<std::uintptr_t>(p) % sizeof(Word) != 0) {
    if (*p == c) return p;
    ++p;
  }
  const Word spread = kOnes * c;
  while (end - p >= static_cast<std::ptrdiff_t>(sizeof(Word))) {
    const Word v = *reinterpret_cast<const Word*>(p) ^ spread;
    if (((v - kOnes) & ~v & kHighBits) != 0) break;  // a zero byte in v: c is in this word
    p += sizeof(Word);
  }
  for (; p < end; ++p) {
    if (*p == c) return p;
  }
  return nullptr;
}

}  // namespace hdx::detail

#endif  // HDX_SCAN_BYTES_H
