// Cutting a sequence of spans out of a region in place, leaving exactly the bytes that cutting
// them one at a time leaves, in time linear in the region's size.
//
// Cut one at a time, each span takes the rest of the region down with it and leaves the region's
// old last bytes, as many as were cut, where they were; because every earlier cut lies before
// them, those are always the last bytes of the original region. So the leftovers are, from the
// region's end down, one suffix of the original region per cut, in cut order, each as long as its
// cut. The pass below finds and cuts each span once, moving the kept bytes down, and then
// rebuilds that, for which it needs every cut's length, read back newest first, and the original
// region's last `longest` bytes. The lengths ride in the free window as a stash (one to ten
// bytes an entry, never more than half the cuts it describes): an entry stands for one cut, or
// for a run of adjacent cuts of one length, whose leftovers are copies of one suffix, made by
// doubling what is already written. The longest cut so far is left out of
// it, which keeps the stash clear of the region's last bytes until they have been copied: the
// stash never rises above the read position, and every later cut, a longer one too, lies wholly
// at or after it.
#ifndef HDX_EXTRACT_CUTS_H
#define HDX_EXTRACT_CUTS_H

#include <cstdint>

#include "scan/compactor.h"
#include "scan/move.h"

namespace hdx::detail {

// A span to cut, at its position in the caller's original bytes, or `count` spans of that length
// one after another from there; len 0 means there are no more.
struct Cut {
  std::uint32_t at;
  std::uint32_t len;
  std::uint32_t count = 1;
};

namespace cuts {

// A number is stored seven bits a byte, low bits first, high bit set on every byte but the last,
// downwards, so the first byte lies highest. An entry is the cut's length, doubled, plus one for a
// run, whose count follows.
template <class Put>
inline void each_number_byte(std::uint64_t n, Put put) noexcept {
  do {
    put(static_cast<std::uint8_t>((n & 0x7F) | (n > 0x7F ? 0x80 : 0)));
    n >>= 7;
  } while (n != 0);
}

inline std::uint32_t number_size(std::uint64_t n) noexcept {
  std::uint32_t size = 1;
  for (n >>= 7; n != 0; n >>= 7) ++size;
  return size;
}

inline void push_entry(Compactor& c, std::uint32_t len, std::uint32_t count) noexcept {
  if (count == 1 && len < 64) {  // most entries: one byte
    c.push(static_cast<std::uint8_t>(len * 2));
    return;
  }
  const auto put = [&c](std::uint8_t byte) { c.push(byte); };
  each_number_byte(std::uint64_t{len} * 2 + (count > 1), put);
  if (count > 1) each_number_byte(count, put);
}

// Stores one cut's entry inside the stash, `depth` bytes below its top.
inline void insert_length(std::uint8_t* buf, Compactor& c, std::uint32_t depth,
                          std::uint32_t len) noexcept {
  const std::uint64_t n = std::uint64_t{len} * 2;
  const std::uint32_t size = number_size(n);
  std::uint32_t pos = c.open_in_stash(depth, size) + size;
  each_number_byte(n, [&](std::uint8_t byte) { buf[--pos] = byte; });
}

// Reads the number whose first byte lies just below `top`, and moves `top` below it.
inline std::uint64_t pop_number(const std::uint8_t* buf, std::uint32_t& top) noexcept {
  if (buf[top - 1] < 0x80) return buf[--top];  // most numbers: one byte
  std::uint64_t n = 0;
  for (std::uint32_t shift = 0; shift < 64; shift += 7) {
    const std::uint8_t byte = buf[--top];
    n |= static_cast<std::uint64_t>(byte & 0x7F) << shift;
    if ((byte & 0x80) == 0) break;
  }
  return n;
}

// A move in either direction between possibly overlapping ranges.
inline void move_bytes(std::uint8_t* buf, std::uint32_t to, std::uint32_t from,
                       std::uint32_t n) noexcept {
  if (to < from) move_down(buf + to, buf + from, n);
  if (to > from) move_up(buf + to, buf + from, n);
}

// Copies the leftovers of `entries` entries, each a suffix of the `source_end`-ending copy,
// downwards from `pos`, reading the entries from the stash below `top`. Each lands below its source
// or clear of it; the rest of a run copies what the run already wrote, twice as much each time.
inline void copy_suffixes(std::uint8_t* buf, std::uint32_t pos, std::uint32_t source_end,
                          std::uint32_t top, std::uint32_t entries) noexcept {
  while (entries-- > 0) {
    const std::uint64_t entry = pop_number(buf, top);
    const auto len = static_cast<std::uint32_t>(entry >> 1);
    const auto count = (entry & 1) != 0 ? static_cast<std::uint32_t>(pop_number(buf, top)) : 1;
    pos -= len;
    move_down(buf + pos, buf + source_end - len, len);
    for (std::uint32_t done = 1; done < count;) {
      const std::uint32_t more = done < count - done ? done : count - done;
      pos -= more * len;
      move_down(buf + pos, buf + pos + more * len, more * len);
      done += more;
    }
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
  std::uint32_t count = 0;          // entries, the first longest cut's among them
  std::uint32_t longest = 0;        // the longest cut's length so far
  std::uint32_t first_longest = 0;  // the index of the entry of the first cut that long
  std::uint32_t cut_before_longest = 0;
  std::uint32_t stash_before_longest = 0;  // bytes at the stash's top
  for (Cut cut = next_cut(); cut.len != 0; cut = next_cut()) {
    c.keep(cut.at);
    if (cut.len > longest) {
      // The longest before this one takes its place among the lengths, between those of the
      // cuts before and after it. There is room: the stash takes at most half of the rest of
      // the window, and that rest holds this length's own cut, of which it takes at most half.
      if (count != 0) cuts::insert_length(buf, c, stash_before_longest, longest);
      longest = cut.len;
      first_longest = count++;
      cut_before_longest = c.read_pos() - c.write_pos();
      stash_before_longest = c.stash_hi() - c.stash_lo();
      c.set_limit(end - longest);
      c.cut(cut.len);
      --cut.count;  // the rest of a run, if any, follows it
    }
    if (cut.count != 0) {
      c.cut(cut.len * cut.count);
      cuts::push_entry(c, cut.len, cut.count);
      ++count;
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
