// Header unfolding in one pass.
//
// Taking out a fold by moving the rest of the field down costs the rest of the field per fold,
// which is quadratic on a field of many folds. Instead the kept bytes are moved down once, segment
// by segment, and the leftovers are rebuilt at the end. Fold by fold, each move leaves the
// content's old last bytes, as many as the terminator had, just past the new end; those are always
// the field's own last one or two bytes, because every earlier cut lies before them. So the
// leftovers are, from the buffer's end downwards, one such copy per fold in fold order: all that
// has to be remembered is whether each fold was CR LF or LF. One bit per fold is kept in the
// buffer's own free window, the gap between the kept bytes already moved and the bytes not read
// yet, which is at least one byte per fold and so at least eight times the size of the bits.
#include "scan/unfold.h"

#include "hdx.h"
#include "host/host.h"
#include "scan/bytes.h"
#include "scan/line_end.h"

namespace hdx::detail {
namespace {

// Compacts the buffer front to back. Bytes [0, w_) are final; [w_, r_) is the free window;
// from r_ on the bytes are as the caller left them. Complete groups of eight fold bits are stashed
// in the window at [lo_, hi_), the oldest group at the top; the newest group stays in bits_.
class FoldCompactor {
 public:
  explicit FoldCompactor(std::uint8_t* buf) noexcept : b_(buf) {}

  // Moves the unread bytes up to `until` down to the end of the final ones.
  void keep(std::uint32_t until) noexcept {
    if (w_ == r_) {  // nothing cut yet: the bytes are already in place
      w_ = r_ = until;
      return;
    }
    while (r_ < until) {
      std::uint32_t room = until - r_;
      if (lo_ != hi_) {
        if (lo_ == w_) lift_stash();
        room = lo_ - w_ < room ? lo_ - w_ : room;
      }
      // The destination lies below the source; with a stash in the window they do not overlap.
      T_memcpy(b_ + w_, b_ + r_, room);
      w_ += room;
      r_ += room;
    }
  }

  // Cuts the terminator of `eol_len` bytes that starts at the read position.
  void cut(std::uint32_t eol_len) noexcept {
    r_ += eol_len;
    if (eol_len == 2) bits_ |= 1u << (folds_ % 8);
    if (++folds_ % 8 == 0) spill_bits();
  }

  // Moves the rest down, writes the leftovers up to len and returns the new length.
  std::uint32_t finish(std::uint32_t len, std::uint8_t tail1, std::uint8_t tail2) noexcept {
    keep(len);
    const std::uint32_t new_len = w_;
    const std::uint32_t groups = hi_ - lo_;
    if (groups != 0 && lo_ != new_len) T_memcpy(b_ + new_len, b_ + lo_, groups);
    // Leftovers are written from the end down, oldest fold first. A group's byte is read before
    // its eight copies are written; they land above every younger group's byte.
    std::uint32_t pos = len;
    std::uint32_t bits = 0;
    for (std::uint32_t fold = 0; fold < folds_; ++fold) {
      const std::uint32_t group = fold / 8;
      if (fold % 8 == 0) bits = group < groups ? b_[new_len + groups - 1 - group] : bits_;
      b_[--pos] = tail2;
      if ((bits >> (fold % 8)) & 1u) b_[--pos] = tail1;
    }
    return new_len;
  }

 private:
  // Moves the stash to the top of the window, clear of the kept bytes that come next. After it
  // the window holds at least seven free bytes per stashed one, so lifts cost O(1) per byte kept.
  void lift_stash() noexcept {
    const std::uint32_t size = hi_ - lo_;
    const std::uint32_t to = r_ - size;
    for (std::uint32_t i = size; i-- > 0;) b_[to + i] = b_[lo_ + i];  // upwards: top byte first
    lo_ = to;
    hi_ = r_;
  }

  void spill_bits() noexcept {
    if (lo_ == hi_) lo_ = hi_ = r_;
    else if (lo_ == w_) lift_stash();
    b_[--lo_] = static_cast<std::uint8_t>(bits_);
    bits_ = 0;
  }

  std::uint8_t* b_;
  std::uint32_t w_ = 0, r_ = 0;
  std::uint32_t lo_ = 0, hi_ = 0;
  std::uint32_t folds_ = 0;
  std::uint32_t bits_ = 0;
};

}  // namespace

std::uint32_t unfold(std::uint8_t* buf, std::uint32_t len) noexcept {
  if (len == 0) return 0;
  const std::uint8_t tail2 = buf[len - 1];
  const std::uint8_t tail1 = len >= 2 ? buf[len - 2] : 0;
  FoldCompactor compactor(buf);
  // Line ends are searched from `line` on, in the caller's original bytes: everything from the
  // compactor's read position on is still untouched, and `line` never lies below it.
  std::uint32_t line = 0;
  for (;;) {
    const auto end = find_line_end({buf + line, buf + len});
    if (end.line_len == 0) break;
    const std::uint32_t next = line + end.line_len;
    if (next >= len) break;  // the terminator ends the content: nothing can follow it
    if (is_blank(buf[next])) {
      compactor.keep(next - end.eol_len);
      compactor.cut(end.eol_len);
    }
    line = next;
  }
  return compactor.finish(len, tail1, tail2);
}

}  // namespace hdx::detail

extern "C" HDX_EXPORT std::uint32_t HDXUnfoldEmailHdrLine(char* buf, std::uint32_t bufLen) {
  if (buf == nullptr) return bufLen;
  return hdx::detail::unfold(reinterpret_cast<std::uint8_t*>(buf), bufLen);
}
