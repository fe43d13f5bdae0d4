// The "@" of an address: the first one outside well-formed quoted strings.
#ifndef HDX_EXTRACT_AT_SIGN_H
#define HDX_EXTRACT_AT_SIGN_H

#include <bit>
#include <cstdint>

#include "scan/bytes.h"
#include "scan/tokens.h"

namespace hdx::detail {

// Where a walk over quoted strings stands between two bytes: inside a string or not, whether
// the next byte is escaped (inside a string only), and where the string it is inside opened.
struct QuoteState {
  bool inside = false;
  bool escape = false;
  std::uint32_t open = 0;
};

// Walks b[p, stop) a byte at a time from state s; returns the first "@" outside a string, or stop.
inline std::uint32_t walk_bytes(const std::uint8_t* b, std::uint32_t p, std::uint32_t stop,
                                QuoteState& s) noexcept {
  for (; p < stop; ++p) {
    const std::uint8_t c = b[p];
    if (s.escape) {
      s.escape = false;
    } else if (s.inside) {
      s.escape = c == '\\';
      s.inside = c != '"';
    } else if (c == '@') {
      return p;
    } else if (c == '"') {
      s = {true, false, p};
    }
  }
  return stop;
}

// Bit i set where byte i of a 64-byte block is escaped, if every backslash in it escapes the
// byte after it unless escaped itself: true inside quoted strings, which is all that the caller
// takes from it. `carry` is 1 where the previous block's last byte escapes this one's first, and
// becomes this block's. A run of backslashes escapes every other byte from its start, so the
// parity of each run's start decides: adding a run's lowest bit clears the run, which picks out
// the runs that start on an even bit.
inline std::uint64_t escaped_bits(std::uint64_t backslashes, std::uint64_t& carry) noexcept {
  constexpr std::uint64_t kEven = 0x5555555555555555;
  const std::uint64_t escaping = backslashes & ~carry;  // an escaped backslash escapes nothing
  const std::uint64_t starts = escaping & ~(escaping << 1);
  const std::uint64_t even_runs = ((escaping + (starts & kEven)) ^ escaping) & escaping;
  const std::uint64_t escapes = (even_runs & kEven) | (escaping & ~even_runs & ~kEven);
  const std::uint64_t escaped = escapes << 1 | carry;
  carry = escapes >> 63;
  return escaped;
}

// Bit i set where an odd number of bits 0..i are: inside a string after byte i, for the bits of
// the quotes that open and close strings.
template <class Mask>
constexpr Mask prefix_xor(Mask x) noexcept {
  // Unrolled: as a loop, GCC's counter and branch cost twice the shifts and XORs.
#pragma GCC unroll 8
  for (unsigned shift = 1; shift < 8 * sizeof(Mask); shift *= 2) x ^= x << shift;
  return x;
}
static_assert(prefix_xor(std::uint64_t{0b1001'0100}) == 0xFFFF'FFFF'FFFF'FF8C);
#if defined(__SIZEOF_INT128__)
// 128 bits as two halves, the high one inverted where the low one holds an odd number: each shift
// of a 128-bit value takes GCC a pair of registers and a double shift, and the chain spilled (the
// plain From fields of 65 to 128 bytes, half of which quote a name, took 443 instructions where
// they take 434).
constexpr WideMask prefix_xor(WideMask x) noexcept {
  const std::uint64_t low = prefix_xor(static_cast<std::uint64_t>(x));
  const std::uint64_t high = prefix_xor(static_cast<std::uint64_t>(x >> 64)) ^ (0 - (low >> 63));
  return WideMask{high} << 64 | low;
}
static_assert(prefix_xor(WideMask{0b1001'0100} << 60) ==
              (~WideMask{0} << 67 | WideMask{0b11} << 62));
#endif

// The bytes inside closed quoted strings, opening quotes included, from a span's quotes where no
// backslash stands among them: every string closes at the next quote, but the last of an odd
// number opens none, and counts as one byte, as find_at_sign reads them.
template <class Mask>
constexpr Mask inside_strings(Mask quotes) noexcept {
  // No quote, as in most fields: their prefix XOR, the dearest mask, is not made.
  if (quotes == 0) return 0;
  const Mask inside = prefix_xor(quotes);
  const bool odd = (inside >> (8 * sizeof(Mask) - 1)) != 0;
  return odd ? inside & bits_below<Mask>(highest(quotes)) : inside;
}

// find_at_sign from b[p], outside a string, 64 bytes at a time: for a run of many quoted strings,
// which the byte search would find a call each. A block's masks give every string's extent at
// once. They take every backslash for an escape, as it is inside a string only, so a block with
// one outside a string, before any "@" there, is walked a byte at a time instead. Out of line,
// as the usual address never comes here: inlined, it cost the From field's search registers.
[[gnu::noinline]] inline std::uint32_t find_at_sign_in_blocks(const std::uint8_t* b,
                                                              std::uint32_t p,
                                                              std::uint32_t end) noexcept {
  QuoteState s;
  for (; end - p >= 64; p += 64) {
    const std::uint64_t quotes = mask64(b + p, '"');
    const std::uint64_t backslashes = mask64(b + p, '\\');
    const std::uint64_t at_signs = mask64(b + p, '@');
    std::uint64_t carry = s.escape;
    const std::uint64_t delimiters = quotes & ~escaped_bits(backslashes, carry);
    const std::uint64_t inside_after = prefix_xor(delimiters) ^ (s.inside ? ~std::uint64_t{0} : 0);
    const std::uint64_t inside_before = inside_after << 1 | std::uint64_t{s.inside};
    const std::uint64_t outside_at = at_signs & ~inside_before;
    const std::uint64_t below_at = ~outside_at & (outside_at - 1);  // every bit when there is none
    if ((backslashes & ~inside_before & below_at) != 0) {
      if (const std::uint32_t at = walk_bytes(b, p, p + 64, s); at != p + 64) return at;
      continue;
    }
    if (outside_at != 0) return p + static_cast<std::uint32_t>(std::countr_zero(outside_at));
    s.inside = inside_after >> 63;
    s.escape = carry != 0;
    if (const std::uint64_t opened = delimiters & inside_after; s.inside && opened != 0) {
      s.open = p + 63 - static_cast<std::uint32_t>(std::countl_zero(opened));
    }
  }
  const std::uint32_t at = walk_bytes(b, p, end, s);
  if (at != end || !s.inside) return at;
  // The string that is still open fails to close, so its quote counts as one byte (see below).
  const std::uint8_t* after = find_byte(b + s.open + 1, b + end, '@');
  return after == nullptr ? end : static_cast<std::uint32_t>(after - b);
}

// Returns the index of the first "@" in [q, end) that no well-formed quoted string holds, or end.
// A double quote that opens no closed string counts as one byte. Once a quoted string fails to
// close, every later one fails too (its scan runs in step with the failed one from its opening
// quote on), so from there on quotes mean nothing and the first "@" is the one: that keeps the
// search linear. A quoted string in an address is short: with kBlocks, and 64 bytes or more left
// after a quote, the rest is walked a block at a time.
template <bool kBlocks = true>
inline std::uint32_t find_at_sign(const std::uint8_t* b, std::uint32_t q,
                                  std::uint32_t end) noexcept {
  while (const std::uint8_t* next = find_any(b + q, b + end, '@', '"')) {
    q = static_cast<std::uint32_t>(next - b);
    if (*next == '@') return q;
    if constexpr (kBlocks) {
      // Marked unlikely so that the call lies apart from the caller's hot code: laid out inline,
      // it moved a From field's comment loop, and a comment nested two million deep took 3.1 ms
      // instead of 2.5 in the baseline build, with the same instructions.
      if (end - q >= 64) [[unlikely]] return find_at_sign_in_blocks(b, q, end);
    }
    const std::uint32_t len = quoted_string_len({next, b + end});
    if (len == 0) {
      const std::uint8_t* at = find_byte(next + 1, b + end, '@');
      return at == nullptr ? end : static_cast<std::uint32_t>(at - b);
    }
    q += len;
  }
  return end;
}

}  // namespace hdx::detail

#endif  // HDX_EXTRACT_AT_SIGN_H
