// Byte-level helpers shared by the scanners and extractors: views over caller bytes,
// byte classes and a vectorised byte search.
#ifndef HDX_SCAN_BYTES_H
#define HDX_SCAN_BYTES_H

#include <bit>
#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "scan/check.h"

#if defined(__AVX2__) || defined(__AVX512BW__)
#include <immintrin.h>
#elif defined(__SSE2__)
#include <emmintrin.h>
#endif

// Inlined in the wider builds, where GCC's budget, spent on their larger code, leaves calls that
// the baseline inlines by itself; forcing it there changes the baseline's code for the worse.
#if defined(__AVX2__)
#define HDX_INLINE_WIDE __attribute__((always_inline))
#else
#define HDX_INLINE_WIDE
#endif

// The fast paths, which answer the common short inputs from a classification of their bytes,
// are built out with -DHDX_FAST_PATHS=0: the fuzz targets compare the library with such a build,
// which takes the general path for everything.
#ifndef HDX_FAST_PATHS
#define HDX_FAST_PATHS 1
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

#if defined(__SSE2__)
// The 16 bytes at `at` compared with c: 0xFF where equal, 0 elsewhere.
inline __m128i equal16(const std::uint8_t* at, std::uint8_t c) noexcept {
  return _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(at)),
                        _mm_set1_epi8(static_cast<char>(c)));
}
// Bit i stands for at[i] equal to any of `cs`, over 16 bytes.
template <class... Cs>
[[gnu::always_inline]] inline unsigned match16(const std::uint8_t* at, Cs... cs) noexcept {
  return static_cast<unsigned>(_mm_movemask_epi8((equal16(at, cs) | ...)));
}

#if defined(__AVX2__)
// Bit i stands for at[i] equal to any of `cs`, over 32 bytes.
template <class... Cs>
[[gnu::always_inline]] inline unsigned match32(const std::uint8_t* at, Cs... cs) noexcept {
  const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at));
  return static_cast<unsigned>(
      _mm256_movemask_epi8((_mm256_cmpeq_epi8(v, _mm256_set1_epi8(static_cast<char>(cs))) | ...)));
}
#endif

// The widest vector unit this build is for, the one place that chooses it: a block of kBlock
// bytes and, for the wider builds, the mask of the bytes of a block equal to any of `cs` (bit i
// for at[i]). The x86-64 baseline has SSE2's 16 bytes; the x86-64-v3 build AVX2's 32; the
// x86-64-v4 build AVX-512BW's 64, whose compares give the mask itself.
#if defined(__AVX512BW__)
constexpr std::ptrdiff_t kBlock = 64;
template <class... Cs>
[[gnu::always_inline]] inline std::uint64_t match_block(const std::uint8_t* at, Cs... cs) noexcept {
  const __m512i v = _mm512_loadu_si512(at);
  return (_mm512_cmpeq_epi8_mask(v, _mm512_set1_epi8(static_cast<char>(cs))) | ...);
}
#elif defined(__AVX2__)
constexpr std::ptrdiff_t kBlock = 32;
template <class... Cs>
[[gnu::always_inline]] inline unsigned match_block(const std::uint8_t* at, Cs... cs) noexcept {
  return match32(at, cs...);
}
#else
constexpr std::ptrdiff_t kBlock = 16;
#endif
static_assert(kBlock == 16 || kBlock == 32 || kBlock == 64, "a block's mask fits 64 bits");

// The first byte from p that `match` marks, in blocks of W bytes; end - p must be at least W.
// A block is read only where all of it lies inside [p, end).
template <std::ptrdiff_t W, class Match>
[[gnu::always_inline]] inline const std::uint8_t* find_in_blocks(const std::uint8_t* p,
                                                                 const std::uint8_t* end,
                                                                 Match match) noexcept {
  HDX_CHECK(end - p >= W);  // so that the last block, ending at `end`, starts at p or above
  // One block first, so that a match close by costs one test.
  if (const auto bits = match(p)) return p + std::countr_zero(bits);
  p += W;
  // Then four blocks a round while no match is near: one test for all four.
  while (end - p >= 4 * W && (match(p) | match(p + W) | match(p + 2 * W) | match(p + 3 * W)) == 0)
    p += 4 * W;
  for (; end - p >= W; p += W) {
    if (const auto bits = match(p)) return p + std::countr_zero(bits);
  }
  if (p == end) return nullptr;
  // The last few bytes: the block that ends at `end`, still inside the range since it holds at
  // least W bytes, without the bits of the bytes below p that were searched already.
  const auto bits = match(end - W) >> (W - (end - p));
  return bits != 0 ? p + std::countr_zero(bits) : nullptr;
}

// find_any's wide blocks, out of line: inlined, GCC sets up the wide compares' operands before
// the narrow test that most calls end at, and every call pays for them.
template <class... Cs>
[[gnu::noinline]] const std::uint8_t* find_any_wide(const std::uint8_t* p,
                                                    const std::uint8_t* end, Cs... cs) noexcept {
  return find_in_blocks<kBlock>(p, end,
                                [&](const std::uint8_t* at) { return match_block(at, cs...); });
}
#else
// Without a vector unit, a machine word at a time.
using Word = std::uintptr_t;
constexpr unsigned kWordBytes = sizeof(Word);
constexpr Word kOnes = ~Word{0} / 0xFF;
constexpr Word kLow7 = kOnes * 0x7F;

// The word at `at` with at[k] as its byte k, counted from the least significant, on big-endian
// machines too, so that the lowest set bit of a test below is always the first byte.
inline Word load_word(const std::uint8_t* at) noexcept {
  Word v;
  __builtin_memcpy(&v, at, kWordBytes);
  if constexpr (std::endian::native == std::endian::big) {
    if constexpr (kWordBytes == 8) v = __builtin_bswap64(v);
    else v = __builtin_bswap32(v);
  }
  return v;
}

// 0x80 in each byte of v equal to c, 0 elsewhere. A byte of x is zero exactly where v's equals
// c; adding 0x7F to each byte's low seven bits never carries into the next byte, so no byte
// above a match is marked too, as the shorter test (x - kOnes) & ~x can.
inline Word equal_high(Word v, std::uint8_t c) noexcept {
  const Word x = v ^ (kOnes * c);
  return ~(((x & kLow7) + kLow7) | x) & ~kLow7;
}

// The high bits of a test gathered to the low bits of the result, byte k's to bit k. A multiply
// gathers them into the top byte: no two of its partial products share a bit, so nothing carries.
inline std::uint64_t gather_high(Word high) noexcept {
  constexpr Word kGather = [] {
    Word gather = 0;
    for (unsigned k = 0; k < kWordBytes; ++k) gather |= Word{1} << (8 * (kWordBytes - 1) - 7 * k);
    return gather;
  }();
  return (high >> 7) * kGather >> (8 * (kWordBytes - 1));
}
#endif

// Returns the first byte in [p, end) equal to any of `cs`, or nullptr. A vector block at a time
// on x86-64, else a machine word at a time; a block is read only when all of it lies inside the
// range.
// Always inlined: as a call it costs more than the search itself where matches stand close.
// kWideFirst is for a caller whose matches mostly lie 16 to 32 bytes away, such as the end of a
// host name: the wider builds then compare 32 bytes first (a Received field, 483 instructions
// instead of 511 in the x86-64-v3 build), and no build tests the first byte on its own.
template <bool kWideFirst = false, class... Cs>
[[gnu::always_inline]] inline const std::uint8_t* find_any(const std::uint8_t* p,
                                                           const std::uint8_t* end,
                                                           Cs... cs) noexcept {
  // A match right here costs one compare; a caller that expects it further on skips it.
  if (!kWideFirst && p < end && ((*p == cs) || ...)) return p;
#if defined(__SSE2__)
  // Sixteen bytes at a time: the baseline's unit, and a wider build's for a range shorter than
  // its block. The same walk as find_in_blocks, written out with its compares: through the
  // template, or through match16, GCC gives a From field 7 to 13% more instructions (callgrind,
  // bench/instructions.sh), and the baseline must not pay for the wider builds. The x86-64-v3
  // build otherwise leaves the compare a call (a Received field took 712 instructions, not 694).
  const auto match = [&](const std::uint8_t* at) HDX_INLINE_WIDE {
    return static_cast<unsigned>(_mm_movemask_epi8((equal16(at, cs) | ...)));
  };
  if constexpr (kBlock > 16) {
#if defined(__AVX2__)
    if (kWideFirst && end - p >= 32 + kBlock) {
      // AVX2's 32 bytes, in the x86-64-v4 build too: there a first compare of 64 made a
      // Received field take 52 ns instead of 41 (the x86-64-v3 build's), at fewer instructions.
      if (const unsigned bits = match32(p, cs...)) return p + std::countr_zero(bits);
      return find_any_wide(p + 32, end, cs...);
    }
#endif
    // A match close by is the common case, and the narrow unit's compare answers it for less
    // than a wide one's: the wide blocks start after the first sixteen bytes.
    if (end - p >= 16 + kBlock) {
      if (const unsigned bits = match(p)) return p + __builtin_ctz(bits);
      return find_any_wide(p + 16, end, cs...);
    }
  }
  if (end - p >= 16) {
    if (const unsigned bits = match(p)) return p + __builtin_ctz(bits);
    p += 16;
    while (end - p >= 64 && (match(p) | match(p + 16) | match(p + 32) | match(p + 48)) == 0)
      p += 64;
    for (; end - p >= 16; p += 16) {
      if (const unsigned bits = match(p)) return p + __builtin_ctz(bits);
    }
    if (p == end) return nullptr;
    const auto seen = static_cast<unsigned>(16 - (end - p));
    const unsigned bits = match(end - 16) >> seen;
    return bits != 0 ? p + __builtin_ctz(bits) : nullptr;
  }
#else
  for (; end - p >= static_cast<std::ptrdiff_t>(kWordBytes); p += kWordBytes) {
    const Word v = load_word(p);
    if (const Word hits = (equal_high(v, cs) | ...)) return p + std::countr_zero(hits) / 8;
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

// find_any for a caller that may read the bytes from `floor` up to p as well: a range shorter than
// sixteen bytes, the end of most addresses, is searched with the sixteen that end at `end`, where
// they start at floor or above, rather than a byte at a time.
template <class... Cs>
[[gnu::always_inline]] inline const std::uint8_t* find_any_above(
    [[maybe_unused]] const std::uint8_t* floor, const std::uint8_t* p, const std::uint8_t* end,
    Cs... cs) noexcept {
#if defined(__SSE2__)
  if (end - p < 16 && end - floor >= 16) {
    HDX_CHECK(floor <= p && p <= end);
    const unsigned bits = match16(end - 16, cs...) >> (16 - (end - p));
    return bits != 0 ? p + __builtin_ctz(bits) : nullptr;
  }
#endif
  return find_any(p, end, cs...);
}

// Bit i of the result stands for p[i] == c, over the 64 bytes from p.
inline std::uint64_t mask64(const std::uint8_t* p, std::uint8_t c) noexcept {
#if defined(__AVX512BW__)
  return match_block(p, c);
#elif defined(__AVX2__)
  return match_block(p, c) | std::uint64_t{match_block(p + 32, c)} << 32;
#elif defined(__SSE2__)
  return match16(p, c) | std::uint64_t{match16(p + 16, c)} << 16 |
         std::uint64_t{match16(p + 32, c)} << 32 | std::uint64_t{match16(p + 48, c)} << 48;
#else
  std::uint64_t bits = 0;
  for (unsigned i = 0; i < 64; i += kWordBytes)
    bits |= gather_high(equal_high(load_word(p + i), c)) << i;
  return bits;
#endif
}

// A short span, classified once: the fast paths of the extractors and of unfolding take a field
// of up to 64 bytes whole, as masks (bit i for p[i]), and answer from the masks where nothing
// needs the general walk. Only where a span is one or two vector loads, in the x86-64-v3 and v4
// builds: on the baseline's four 16-byte units and on PowerPC's words its masks cost more than
// the walks they would replace (an SMTP command took 351 instructions instead of 201 on the
// baseline), so those builds keep the walks.
#if HDX_FAST_PATHS && defined(__AVX2__)
#define HDX_SHORT_SPANS 1
#else
#define HDX_SHORT_SPANS 0
#endif

#if HDX_SHORT_SPANS
// Below kShortSpanMin bytes a span is not classified: the loads that make its masks would reach
// outside it.
constexpr std::uint32_t kShortSpanMin = 16;
constexpr std::uint32_t kShortSpanMax = 64;

// A span of kShortSpanMin to 64 bytes, loaded once, whose masks then cost a compare or two each:
// bit i of mask(cs...) stands for p[i] equal to any of `cs`. Reads stay inside [p, p + n).
//
// Loaded as AVX2 units of 32 bytes in the x86-64-v4 build too, not as one masked load of 64. A host
// mostly copies a field just before the call, as the call changes it in place, and its memcpy
// stores a field of 32 to 64 bytes as the 32 at its start and the 32 at its end: the very units
// here, which the stores then forward, where a load of 64 over both waits until they are written
// (a From field of the realistic set, with the copy, took 60 ns instead of 63 to 67 and an SMTP
// command 25 to 26 instead of 28: best of two sets of alternating rounds of the x86-64-v4 builds).
class ShortSpan {
 public:
  [[gnu::always_inline]] ShortSpan(const std::uint8_t* p, std::uint32_t n) noexcept {
    HDX_CHECK(n >= kShortSpanMin && n <= kShortSpanMax);
    // Two units of 32 bytes, the second ending at p + n, which overlap where n is less than 64
    // (a byte in both gives the same bit in both); or, below 32 bytes, two of 16 so placed, each
    // in a unit whose upper half is zeros. No mask is of zeros, so those bytes give no bit, and
    // both cases make their masks alike: low's bits, and high's moved up to end at bit n.
    if (n >= 32) {
      low_ = load32(p);
      high_ = load32(p + n - 32);
      shift_ = n - 32;
    } else {
      low_ = load16(p);
      high_ = load16(p + n - 16);
      shift_ = n - 16;
    }
  }

  // The span of the n - len bytes that [p, p + n) holds once the len bytes at `at` are cut and the
  // rest moved down, kShortSpanMin to 64 of them, loaded from the bytes as they stand before that
  // move: loaded after it, its units would each take bytes from two or three of the move's 16-byte
  // stores, which no store forwards, and wait until they are written. Each unit is a blend of the
  // load of its bytes below `at`, where they stand, and of the load of those above, len bytes on.
  [[gnu::always_inline]] static ShortSpan after_cut(const std::uint8_t* p, std::uint32_t n,
                                                    std::uint32_t at, std::uint32_t len) noexcept {
    const std::uint32_t m = n - len;
    HDX_CHECK(m >= kShortSpanMin && m <= kShortSpanMax && at < m);
    // Lane j of a unit whose first byte is at `base` comes from below the cut where j < at - base:
    // a signed byte compare, as at - base lies between -64 and 64.
    const __m256i lanes =
        _mm256_setr_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20,
                         21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31);
    const auto below_cut = [at, lanes](std::uint32_t base) {
      return _mm256_cmpgt_epi8(_mm256_set1_epi8(static_cast<char>(at - base)), lanes);
    };
    ShortSpan span;
    if (m >= 32) {
      span.low_ = _mm256_blendv_epi8(load32(p + len), load32(p), below_cut(0));
      span.high_ = _mm256_blendv_epi8(load32(p + n - 32), load32(p + m - 32), below_cut(m - 32));
      span.shift_ = m - 32;
    } else {  // units of 16, whose upper halves of zeros blend to zeros
      span.low_ = _mm256_blendv_epi8(load16(p + len), load16(p), below_cut(0));
      span.high_ = _mm256_blendv_epi8(load16(p + n - 16), load16(p + m - 16), below_cut(m - 16));
      span.shift_ = m - 16;
    }
    return span;
  }

  template <class... Cs>
  [[gnu::always_inline]] std::uint64_t mask(Cs... cs) const noexcept {
    return std::uint64_t{unit_mask(low_, cs...)} | std::uint64_t{unit_mask(high_, cs...)} << shift_;
  }

  // Non-zero where a byte of the span equals any of `cs`: both units' compares folded into one,
  // to be tested without a mask.
  template <class... Cs>
  [[gnu::always_inline]] __m256i matches(Cs... cs) const noexcept {
    return unit_matches(low_, cs...) | unit_matches(high_, cs...);
  }

  // The position of the first byte from `from` (below 64) equal to any of `cs`, 64 or more where
  // there is none. One unit's mask mostly tells, so that the other's is not made: the low unit's
  // where it holds such a byte, as it mostly holds an SMTP command's colon and "@"; with kNearEnd,
  // first the high unit's where it holds every byte from `from` up, as it mostly holds a From
  // field's domain. Each is a branch on the bytes, which mispredicts where the mark lies in either
  // unit about as often: an SMTP path's end takes the whole mask.
  template <bool kNearEnd = false, class... Cs>
  [[gnu::always_inline]] std::uint32_t first(std::uint32_t from, Cs... cs) const noexcept {
    // The high unit's bits above the bytes it holds are 0, and a count of 32 then gives a position
    // of n or more.
    if (kNearEnd && from >= shift_) {
      return from + std::countr_zero(unit_mask(high_, cs...) >> (from - shift_));
    }
    // Shifted as 64 bits, so that a `from` of 32 or more leaves none.
    if (const std::uint64_t low = std::uint64_t{unit_mask(low_, cs...)} >> from; low != 0) {
      return from + static_cast<std::uint32_t>(std::countr_zero(low));
    }
    return from + static_cast<std::uint32_t>(std::countr_zero(mask(cs...) >> from));
  }

 private:
  ShortSpan() = default;
  static __m256i load32(const std::uint8_t* at) noexcept {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at));
  }
  // Sixteen bytes in a unit whose upper half is zeros.
  static __m256i load16(const std::uint8_t* at) noexcept {
    return _mm256_zextsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(at)));
  }

  // 0xFF for each byte of one unit equal to any of `cs`.
  template <class... Cs>
  [[gnu::always_inline]] static __m256i unit_matches(const __m256i& v, Cs... cs) noexcept {
    HDX_CHECK(((cs != 0) && ...));  // the zeros above a unit of 16 would match
    return (_mm256_cmpeq_epi8(v, _mm256_set1_epi8(static_cast<char>(cs))) | ...);
  }
  // Bit i for byte i of one unit.
  template <class... Cs>
  [[gnu::always_inline]] static std::uint32_t unit_mask(const __m256i& v, Cs... cs) noexcept {
    return static_cast<std::uint32_t>(_mm256_movemask_epi8(unit_matches(v, cs...)));
  }

  __m256i low_, high_;
  std::uint32_t shift_;
};
#endif

// The bits of positions [lo, hi) of a span's masks, 0 <= lo, hi <= the mask's width: 64 bits, or
// 128 where two spans make one mask.
template <class Mask = std::uint64_t>
constexpr Mask bits_below(std::uint32_t n) noexcept {
#if defined(__BMI2__)
  // One BZHI a 64-bit half, which keeps every bit from a count of 64 up: the compare and select
  // around a shift cost a short From field 20 instructions, one with a long encoded word 49.
  if (!std::is_constant_evaluated()) {
    const std::uint64_t low = _bzhi_u64(~std::uint64_t{0}, n);
    if constexpr (sizeof(Mask) == 8) {
      return low;
    } else {
      return Mask{low} | Mask{_bzhi_u64(~std::uint64_t{0}, n > 64 ? n - 64 : 0)} << 64;
    }
  }
#endif
  return n >= 8 * sizeof(Mask) ? ~Mask{0} : (Mask{1} << n) - 1;
}
template <class Mask = std::uint64_t>
constexpr Mask bits_in(std::uint32_t lo, std::uint32_t hi) noexcept {
  return bits_below<Mask>(hi) & ~bits_below<Mask>(lo);
}
// The lowest and the highest position that a mask marks, which must mark one.
constexpr std::uint32_t lowest(std::uint64_t mask) noexcept {
  return static_cast<std::uint32_t>(std::countr_zero(mask));
}
constexpr std::uint32_t highest(std::uint64_t mask) noexcept {
  return 63 - static_cast<std::uint32_t>(std::countl_zero(mask));
}
constexpr bool odd_count(std::uint64_t mask) noexcept { return (std::popcount(mask) & 1) != 0; }
#if defined(__SIZEOF_INT128__)
using WideMask = unsigned __int128;
constexpr bool odd_count(WideMask mask) noexcept {
  return odd_count(static_cast<std::uint64_t>(mask) ^ static_cast<std::uint64_t>(mask >> 64));
}
constexpr std::uint32_t lowest(WideMask mask) noexcept {
  const auto low = static_cast<std::uint64_t>(mask);
  return low != 0 ? lowest(low) : 64 + lowest(static_cast<std::uint64_t>(mask >> 64));
}
constexpr std::uint32_t highest(WideMask mask) noexcept {
  const auto high = static_cast<std::uint64_t>(mask >> 64);
  return high != 0 ? 64 + highest(high) : highest(static_cast<std::uint64_t>(mask));
}
#endif

// The lowest position that `mask` marks in [lo, hi), or hi; the highest one, or `none`.
template <class Mask>
constexpr std::uint32_t first_in(Mask mask, std::uint32_t lo, std::uint32_t hi) noexcept {
  mask &= bits_in<Mask>(lo, hi);
  return mask == 0 ? hi : lowest(mask);
}
// For 64 bits (lo and hi at most 64), the first mark from lo, held to hi: a shift and a count
// with no branch, where the range's bits cost two BZHIs and a test (a short From field, 9
// instructions). A count of 64 (no mark, or lo of 64, whose shift by 64 & 63 keeps the mask whole)
// gives a position of 64 or more, which hi then holds.
constexpr std::uint32_t first_in(std::uint64_t mask, std::uint32_t lo, std::uint32_t hi) noexcept {
  const std::uint32_t first = lo + static_cast<std::uint32_t>(std::countr_zero(mask >> (lo & 63)));
  return first < hi ? first : hi;
}
template <class Mask>
constexpr std::uint32_t last_in(Mask mask, std::uint32_t lo, std::uint32_t hi,
                                std::uint32_t none) noexcept {
  mask &= bits_in<Mask>(lo, hi);
  return mask == 0 ? none : highest(mask);
}

#if HDX_SHORT_SPANS && defined(__SIZEOF_INT128__)
// 65 to 128 bytes as two spans of 64, the second ending at p + n, whose masks make one of 128
// bits: a From field with an encoded word, or an SMTP command with parameters. In the x86-64-v4
// build too: loaded as the two units of 64 that memcpy stores there, a From field with a long
// encoded word took 56 ns instead of 51, whether those were compared whole or as halves.
class MediumSpan {
 public:
  static constexpr std::uint32_t kMin = kShortSpanMax + 1, kMax = 2 * kShortSpanMax;
  [[gnu::always_inline]] MediumSpan(const std::uint8_t* p, std::uint32_t n) noexcept
      : low_(p, 64), high_(p + n - 64, 64), drop_(kMax - n) {
    HDX_CHECK(n >= kMin && n <= kMax);
  }
  template <class... Cs>
  [[gnu::always_inline]] WideMask mask(Cs... cs) const noexcept {
    return WideMask{low_.mask(cs...)} | WideMask{high_.mask(cs...) >> drop_} << 64;
  }
  // Whether any byte of the span equals any of `cs`: one test of the compares, where a mask costs
  // four movemasks and a shift of 128 bits.
  template <class... Cs>
  [[gnu::always_inline]] bool any(Cs... cs) const noexcept {
    const __m256i matches = low_.matches(cs...) | high_.matches(cs...);
    return _mm256_testz_si256(matches, matches) == 0;
  }
  // As ShortSpan's, from the high span's where it holds every byte from `from` up, else the low
  // span's: from below 128, kMax or more where there is none.
  template <bool kNearEnd = false, class... Cs>
  [[gnu::always_inline]] std::uint32_t first(std::uint32_t from, Cs... cs) const noexcept {
    if (const std::uint32_t base = kShortSpanMax - drop_; kNearEnd && from >= base) {
      return base + high_.template first<true>(from - base, cs...);
    }
    if (from < kShortSpanMax) {
      if (const std::uint32_t low = low_.first(from, cs...); low < kShortSpanMax) return low;
    }
    const WideMask marks = mask(cs...) >> from;
    return marks == 0 ? kMax : from + lowest(marks);
  }

 private:
  ShortSpan low_, high_;
  std::uint32_t drop_;
};
#endif

// Calls visit(q) for every byte q in [p, end) equal to c, in order. visit returns where the
// search goes on, q + 1 or further (at most end), so that a caller can walk a stretch byte by byte
// itself; it may change bytes below the position it returns, never the ones from there up. With
// SSE2 every block of 64 bytes is tested once, whatever the number of matches in it.
template <class Visit>
inline void for_each_byte(const std::uint8_t* p, const std::uint8_t* end, std::uint8_t c,
                          Visit visit) noexcept {
#if defined(__SSE2__)
  if (end - p >= 16) {
    // Non-zero where any of the 64 bytes at `at` matches: one test, for the blocks that hold none.
    const auto any64 = [c](const std::uint8_t* at) -> std::uint64_t {
#if defined(__AVX2__)
      return mask64(at, c);
#else
      return static_cast<unsigned>(_mm_movemask_epi8(equal16(at, c) | equal16(at + 16, c) |
                                                     equal16(at + 32, c) | equal16(at + 48, c)));
#endif
    };
    while (p != end) {
      if (end - p >= 64 && any64(p) == 0) {
        p += 64;
        // After a block without a match, the wider builds go on four blocks a round while none
        // holds one, with one test for all four: 1 MiB without a line end takes 0.12
        // instructions a byte instead of 0.28 (x86-64-v3). The baseline keeps one block a
        // round: its four tests cost a header more than they save (2.31 instructions a byte of
        // the realistic block instead of 2.20, 773 a Received field instead of 760).
        if constexpr (kBlock > 16) {
          while (end - p >= 256 &&
                 (any64(p) | any64(p + 64) | any64(p + 128) | any64(p + 192)) == 0) {
            p += 256;
          }
        }
        continue;
      }
      // Bit i stands for p[i]. All four blocks are loaded before any match is visited: visit
      // changes no byte from the position it returns up, so the later bits still hold.
      std::uint64_t bits;
      std::ptrdiff_t width = end - p;
      if (width >= 64) {
        width = 64;
        bits = mask64(p, c);
      } else {
        // As in find_any, the last few bytes come from the block that ends at `end`, inside the
        // range since it holds at least 16 bytes, without the bits of the bytes below it that
        // were visited already (and that visit may have changed since).
        bits = 0;
        std::ptrdiff_t i = 0;
        for (; width - i >= 16; i += 16) bits |= std::uint64_t{match16(p + i, c)} << i;
        if (i != width) bits |= std::uint64_t{match16(end - 16, c) >> (16 - (width - i))} << i;
      }
      const std::uint8_t* next = p + width;
      while (bits != 0) {
        const std::uint8_t* q = p + __builtin_ctzll(bits);
        const std::uint8_t* resume = visit(q);
        if (resume - p >= width) {  // past this block: the search goes on from there
          next = resume;
          break;
        }
        bits &= ~std::uint64_t{0} << (resume - p);
      }
      p = next;
    }
    return;
  }
#endif
  const std::uint8_t* q = find_byte(p, end, c);
  while (q != nullptr) q = find_byte(visit(q), end, c);
}

}  // namespace hdx::detail

#endif  // HDX_SCAN_BYTES_H
