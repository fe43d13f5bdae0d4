// Byte-level helpers shared by the scanners and extractors: views over caller bytes,
// byte classes and a vectorised byte search.
#ifndef HDX_SCAN_BYTES_H
#define HDX_SCAN_BYTES_H

#include <cstddef>
#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

// Returns the first byte in [p, end) equal to any of `cs`, or nullptr. Sixteen bytes at a time
// with SSE2 on x86-64, else a machine word at a time once p is aligned; a block is read only
// when all of it lies inside the range, and where a word holds a match the byte is found by a
// plain byte loop, so the result never depends on byte order.
// Always inlined: as a call it costs more than the search itself where matches stand close.
template <class... Cs>
[[gnu::always_inline]] inline const std::uint8_t* find_any(const std::uint8_t* p,
                                                           const std::uint8_t* end,
                                                           Cs... cs) noexcept {
  if (p < end && ((*p == cs) || ...)) return p;  // a match right here costs one compare
#if defined(__SSE2__)
  const auto match = [&](const std::uint8_t* at) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
    return static_cast<unsigned>(
        _mm_movemask_epi8((_mm_cmpeq_epi8(v, _mm_set1_epi8(static_cast<char>(cs))) | ...)));
  };
  if (end - p >= 16) {
    // One block first, so that a match close by costs one test.
    if (const unsigned bits = match(p)) return p + __builtin_ctz(bits);
    p += 16;
    // Then four blocks a round while no match is near: one test for 64 bytes.
    while (end - p >= 64 && (match(p) | match(p + 16) | match(p + 32) | match(p + 48)) == 0)
      p += 64;
    for (; end - p >= 16; p += 16) {
      if (const unsigned bits = match(p)) return p + __builtin_ctz(bits);
    }
    if (p == end) return nullptr;
    // The last few bytes: the block that ends at `end`, still inside the range since it holds at
    // least 16 bytes, without the bits of the bytes below p that were searched already.
    const auto seen = static_cast<unsigned>(16 - (end - p));
    const unsigned bits = match(end - 16) >> seen;
    return bits != 0 ? p + __builtin_ctz(bits) : nullptr;
  }
#else
  using Word [[gnu::may_alias]] = std::uintptr_t;
  constexpr Word kOnes = ~Word{0} / 0xFF;
  constexpr Word kHighBits = kOnes * 0x80;
  const auto has_zero = [](Word v) { return ((v - kOnes) & ~v & kHighBits) != 0; };
  while (p < end && reinterpret_cast<std::uintptr_t>(p) % sizeof(Word) != 0) {
    if (((*p == cs) || ...)) return p;
    ++p;
  }
  while (end - p >= static_cast<std::ptrdiff_t>(sizeof(Word))) {
    const Word v = *reinterpret_cast<const Word*>(p);
    if ((has_zero(v ^ (kOnes * cs)) || ...)) break;
    p += sizeof(Word);
  }
#endif
  for (; p < end; ++p) {
    if (((*p == cs) || ...)) return p;
  }
  return nullptr;
}

inline const std::uint8_t* find_byte(const std::uint8_t* p, const std::uint8_t* end,
                                     std::uint8_t c) noexcept {
  return find_any(p, end, c);
}

// Calls visit(q) for every byte q in [p, end) equal to c, in order. With SSE2 every block is
// tested once, whatever the number of matches in it; visit may change bytes below the one it is
// given, never the ones above.
template <class Visit>
inline void for_each_byte(const std::uint8_t* p, const std::uint8_t* end, std::uint8_t c,
                          Visit visit) noexcept {
#if defined(__SSE2__)
  if (end - p >= 16) {
    const __m128i spread = _mm_set1_epi8(static_cast<char>(c));
    const auto match = [spread](const std::uint8_t* at) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
      return static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, spread)));
    };
    const auto visit_all = [&visit](const std::uint8_t* at, unsigned bits) {
      for (; bits != 0; bits &= bits - 1) visit(at + __builtin_ctz(bits));
    };
    // Four blocks a round, loaded before any is visited: visit changes no byte above the one it
    // is given, so the later blocks' bits still hold.
    for (; end - p >= 64; p += 64) {
      const unsigned m0 = match(p), m1 = match(p + 16), m2 = match(p + 32), m3 = match(p + 48);
      if ((m0 | m1 | m2 | m3) == 0) continue;
      visit_all(p, m0);
      visit_all(p + 16, m1);
      visit_all(p + 32, m2);
      visit_all(p + 48, m3);
    }
    for (; end - p >= 16; p += 16) visit_all(p, match(p));
    // As in find_any: the block that ends at `end`, without the bits of bytes already visited
    // (which visit may have changed since).
    if (p != end) visit_all(p, match(end - 16) >> static_cast<unsigned>(16 - (end - p)));
    return;
  }
#endif
  for (p = find_byte(p, end, c); p != nullptr; p = find_byte(p + 1, end, c)) visit(p);
}

}  // namespace hdx::detail

#endif  // HDX_SCAN_BYTES_H
