// Cutting many spans out of a buffer in one front-to-back pass, with a little bookkeeping kept
// in the buffer's own free space.
#ifndef HDX_SCAN_COMPACTOR_H
#define HDX_SCAN_COMPACTOR_H

#include <cstdint>

#include "scan/check.h"
#include "scan/move.h"

namespace hdx::detail {

// Moves the kept bytes of buf down over the cut ones. Bytes below w_ are final; [w_, r_) is the
// free window, as large as everything cut so far; from r_ on the bytes are as the caller left
// them, so a caller can keep scanning them. A stash of bookkeeping bytes, pushed downwards, rides
// in the window below `limit`, and is lifted to the window's top whenever the kept bytes reach it.
// Callers keep the stash at most half the usable window, so a lift of s bytes buys at least s
// bytes of progress: the pass stays linear.
class Compactor {
 public:
  static constexpr std::uint32_t kNoLimit = ~std::uint32_t{0};

  Compactor(std::uint8_t* buf, std::uint32_t pos, std::uint32_t limit = kNoLimit) noexcept
      : b_(buf), w_(pos), r_(pos), lo_(pos), hi_(pos), limit_(limit) {}
  // A window that starts as [w, r), holding the stash [lo, hi).
  Compactor(std::uint8_t* buf, std::uint32_t w, std::uint32_t r, std::uint32_t lo,
            std::uint32_t hi) noexcept
      : b_(buf), w_(w), r_(r), lo_(lo), hi_(hi), limit_(kNoLimit) {}

  std::uint32_t write_pos() const noexcept { return w_; }
  std::uint32_t read_pos() const noexcept { return r_; }
  std::uint32_t stash_lo() const noexcept { return lo_; }
  std::uint32_t stash_hi() const noexcept { return hi_; }

  // Moves the bytes from the read position up to `until` down to the write position.
  void keep(std::uint32_t until) noexcept {
    if (w_ == r_) {  // nothing cut yet: the bytes are already in place
      w_ = r_ = until;
      return;
    }
    while (r_ < until) {
      std::uint32_t room = until - r_;
      if (lo_ != hi_) {
        if (lo_ == w_) lift();
        room = lo_ - w_ < room ? lo_ - w_ : room;
      }
      // The destination lies below the source; with a stash in the window they do not overlap.
      move_down(b_ + w_, b_ + r_, room);
      w_ += room;
      r_ += room;
    }
  }

  // The n bytes at the read position are cut: they join the window.
  void cut(std::uint32_t n) noexcept { r_ += n; }

  // How many bytes may be kept before the stash is in the way, or before the read position while
  // there is no stash.
  std::uint32_t room() const noexcept { return (lo_ != hi_ ? lo_ : top()) - w_; }

  // For a caller that moved bytes itself, within room(): the kept bytes end at w, and r is the
  // next byte to read.
  void moved(std::uint32_t w, std::uint32_t r) noexcept {
    w_ = w;
    r_ = r;
  }

  // From now on the stash stays below `limit`; the caller guarantees that it already does.
  void set_limit(std::uint32_t limit) noexcept { limit_ = limit; }

  // Opens n bytes inside the stash, `depth` bytes below its top, by moving the bytes under them
  // down, and returns where the n bytes start. The caller guarantees n free bytes in the usable
  // window besides the stash.
  std::uint32_t open_in_stash(std::uint32_t depth, std::uint32_t n) noexcept {
    if (lo_ == hi_) lo_ = hi_ = top();
    else if (lo_ - w_ < n) lift();
    const std::uint32_t at = hi_ - depth;
    move_down(b_ + lo_ - n, b_ + lo_, at - lo_);
    lo_ -= n;
    return at - n;
  }

  // Pushes one byte below the stash. The caller guarantees a free byte in the usable window.
  void push(std::uint8_t v) noexcept {
    if (lo_ == hi_) lo_ = hi_ = top();
    else if (lo_ == w_) lift();
    // The stash stays inside the window: above the kept bytes, below the bytes still to be read.
    HDX_CHECK(lo_ > w_ && hi_ <= r_);
    b_[--lo_] = v;
  }

 private:
  std::uint32_t top() const noexcept { return r_ < limit_ ? r_ : limit_; }

  void lift() noexcept {
    const std::uint32_t size = hi_ - lo_;
    const std::uint32_t to = top() - size;
    move_up(b_ + to, b_ + lo_, size);
    lo_ = to;
    hi_ = to + size;
  }

  std::uint8_t* b_;
  std::uint32_t w_, r_;
  std::uint32_t lo_, hi_;
  std::uint32_t limit_;
};

}  // namespace hdx::detail

#endif  // HDX_SCAN_COMPACTOR_H
