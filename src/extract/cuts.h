// Cutting a sequence of spans out of a region in place, leaving exactly the bytes that cutting
// them one at a time leaves, in time linear in the region's size.
//
// Cut one at a time, each span takes the rest of the region down with it and leaves the region's
// old last bytes, as many as were cut, where they were; because every earlier cut lies before
// them, those are always the last bytes of the original region. So the leftovers are, from the
// region's end down, one suffix of the original region per cut, in cut order, each as long as its
// cut. The pass below finds and cuts each span once, moving the kept bytes down, and then
// rebuilds that, for which it needs every cut's length, read back newest first, and the original
// region's last `longest` bytes. The lengths ride in the free window as a stash (one to five
// bytes each, never more than half the cut they describe). The longest cut so far is left out of
// it, which keeps the stash clear of the region's last bytes until they have been copied: the
// stash never rises above the read position, and every later cut, a longer one too, lies wholly
// at or after it.
#ifndef HDX_EXTRACT_CUTS_H
#define HDX_EXTRACT_CUTS_H

#include <cstdint>

#include "scan/compactor.h"
#include "scan/move.h"

namespace hdx::detail {

// A span to cut, at its position in the caller's original bytes; len 0 means there are no more.
struct Cut {
  std::uint32_t at;
  std::uint32_t len;
};

namespace cuts {

// A length is stored seven bits a byte, low bits first, high bit set on every byte but the last,
// downwards, so the first byte lies highest.
template <class Put>
inline void each_length_byte(std::uint32_t len, Put put) noexcept {
  do {
    put(static_cast<std::uint8_t>((len & 0x7F) | (len > 0x7F ? 0x80 : 0)));
    len >>= 7;
  } while (len != 0);
}

inline void push_length(Compactor& c, std::uint32_t len) noexcept {
  each_length_byte(len, [&c](std::uint8_t byte) { c.push(byte); });
}

// Stores a length inside the stash, `depth` bytes below its top.
inline void insert_length(std::uint8_t* buf, Compactor& c, std::uint32_t depth,
                          std::uint32_t len) noexcept {
  std::uint32_t size = 1;
  for (std::uint32_t rest = len >> 7; rest != 0; rest >>= 7) ++size;
  std::uint32_t pos = c.open_in_stash(depth, size) + size;
  each_length_byte(len, [&](std::uint8_t byte) { buf[--pos] = byte; });
}

// Reads the length whose first byte lies just below `top`, and moves `top` below it.
inline std::uint32_t pop_length(const std::uint8_t* buf, std::uint32_t& top) noexcept {
  std::uint32_t len = 0;
  std::uint8_t byte = 0;
  for (std::uint32_t shift = 0; shift < 32; shift += 7) {
    byte = buf[--top];
    len |= static_cast<std::uint32_t>(byte & 0x7F) << shift;
    if ((byte & 0x80) == 0) break;
  }
  return len;
}

// A move in either direction between possibly overlapping ranges.
inline void move_bytes(std::uint8_t* buf, std::uint32_t to, std::uint32_t from,
                       std::uint32_t n) noexcept {
  if (to < from) move_down(buf + to, buf + from, n);
  if (to > from) move_up(buf + to, buf + from, n);
}

// Copies `count` leftovers, each a suffix of the `source_end`-ending copy, downwards from `pos`,
// reading their lengths from the stash below `top`. Each lands below its source or clear of it.
inline void copy_suffixes(std::uint8_t* buf, std::uint32_t pos, std::uint32_t source_end,
                          std::uint32_t top, std::uint32_t count) noexcept {
  while (count-- > 0) {
    const std::uint32_t len = pop_length(buf, top);
    pos -= len;
    move_down(buf + pos, buf + source_end - len, len);
  }
}

}  // namespace cuts

// Cuts the spans that `next_cut` returns out of the region [begin, end) of buf, and returns the
// region's new end. Every cut is at least 2 bytes long. `next_cut` reads only bytes at or after
// the end of the previous cut, which this pass leaves untouched until it has passed them.
template <class NextCut>
std::uint32_t cut_spans(std::uint8_t* buf, std::uint32_t begin, std::uint32_t end,
                        NextCut& next_cut) noexcept {
  Compactor c(buf, begin);
  std::uint32_t count = 0;
  std::uint32_t longest = 0;        // the longest cut's length so far
  std::uint32_t first_longest = 0;  // the index of the first cut that long
  std::uint32_t cut_before_longest = 0;
  std::uint32_t stash_before_longest = 0;  // bytes at the stash's top
  for (Cut cut = next_cut(); cut.len != 0; cut = next_cut(), ++count) {
    c.keep(cut.at);
    if (cut.len > longest) {
      // The longest before this one takes its place among the lengths, between those of the
      // cuts before and after it. There is room: the stash takes at most half of the rest of
      // the window, and that rest holds this length's own cut, of which it takes at most half.
      if (count != 0) cuts::insert_length(buf, c, stash_before_longest, longest);
      longest = cut.len;
      first_longest = count;
      cut_before_longest = c.read_pos() - c.write_pos();
      stash_before_longest = c.stash_hi() - c.stash_lo();
      c.set_limit(end - longest);
      c.cut(cut.len);
    } else {
      c.cut(cut.len);
      cuts::push_length(c, cut.len);
    }
  }
  if (count == 0) return end;
  c.keep(end);

  // The window is now [new_end, end): below the region's last `longest` bytes it holds the stash,
  // lengths of later cuts (B) under those of earlier ones (A). Cut x, the first longest, leaves
  // its suffix between the leftovers of the later cuts, below, and of the earlier ones, above.
  const std::uint32_t new_end = c.write_pos();
  const std::uint32_t cut_after_longest = end - new_end - cut_before_longest - longest;
  const std::uint32_t stash_a = stash_before_longest;
  const std::uint32_t stash_b = c.stash_hi() - c.stash_lo() - stash_a;
  const std::uint32_t x_low = new_end + cut_after_longest;
  const std::uint32_t x_high = end - cut_before_longest;
  cuts::move_bytes(buf, new_end, c.stash_lo(), stash_b);
  cuts::move_bytes(buf, x_low, c.stash_lo() + stash_b, stash_a);
  // Cut x's leftover is the region's last `longest` bytes moved down; A rides along above it.
  Compactor x(buf, x_low, end - longest, x_low, x_low + stash_a);
  x.keep(end);
  // A goes just above cut x's leftover, where the earlier cuts' leftovers, written from the end
  // down, reach it no sooner than they have read it. So does B below them all.
  cuts::move_bytes(buf, x_high, x.stash_lo(), stash_a);
  cuts::copy_suffixes(buf, end, x_high, x_high + stash_a, first_longest);
  cuts::copy_suffixes(buf, x_low, x_high, new_end + stash_b, count - first_longest - 1);
  return new_end;
}

}  // namespace hdx::detail

#endif  // HDX_EXTRACT_CUTS_H
