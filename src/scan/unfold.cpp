// Header unfolding in one pass.
//
// Taking out a fold by moving the rest of the field down costs the rest of the field per fold,
// which is quadratic on a field of many folds. Instead the kept bytes are moved down once and the
// leftovers are rebuilt at the end. Fold by fold, each move leaves the content's old last bytes,
// as many as the terminator had, just past the new end; those are always the field's own last one
// or two bytes, because every earlier cut lies before them. So the leftovers are, from the
// buffer's end downwards, one such copy per fold in fold order: all that has to be remembered is
// whether each fold was CR LF or LF. Where the kinds are mixed, one bit per fold is stashed in the
// free window, which holds at least a byte per fold, so the stash never takes more than an eighth
// of it.
#include "scan/unfold.h"

#include <array>
#include <bit>

#include "hdx.h"
#include "scan/bytes.h"
#include "scan/check.h"
#include "scan/compactor.h"

namespace hdx::detail {
namespace {

// Records the kind of each fold. While every fold is of the first one's kind, as in a field
// written with one kind of line end, a count is enough. From the first fold of the other kind
// on, a bit per fold: complete groups of eight go to the stash, the oldest group at its top; the
// newest group stays in `bits`.
struct FoldLog {
  std::uint32_t folds = 0;
  std::uint32_t uniform = 0;  // how many folds lead of the first one's kind
  bool first_crlf = false;
  std::uint32_t bits = 0;

  // Adds `count` folds of one kind at once, where the log is still a count of that kind; returns
  // whether it did.
  bool add_uniform(std::uint32_t count, bool crlf) noexcept {
    if (folds == 0 || folds != uniform || crlf != first_crlf) return false;
    folds += count;
    uniform += count;
    return true;
  }

  void add(Compactor& c, bool crlf) noexcept {
    if (folds == uniform && (folds == 0 || crlf == first_crlf)) {
      first_crlf = crlf;
      ++uniform;
      ++folds;
      return;
    }
    const std::uint32_t logged = folds++ - uniform;
    if (crlf) bits |= 1u << (logged % 8);
    if (logged % 8 == 7) {
      c.push(static_cast<std::uint8_t>(bits));
      bits = 0;
    }
  }
};

// Writes the leftovers into [new_len, len), oldest fold at the top, and returns new_len.
std::uint32_t write_leftovers(std::uint8_t* buf, std::uint32_t len, Compactor& c,
                              const FoldLog& log, std::uint8_t tail1, std::uint8_t tail2) noexcept {
  const std::uint32_t new_len = c.write_pos();
  const std::uint32_t groups = c.stash_hi() - c.stash_lo();
  if (groups != 0 && c.stash_lo() != new_len) move_down(buf + new_len, buf + c.stash_lo(), groups);
  // The uniform folds' copies lie at the top: one unit, tail1 tail2 or tail2 alone, over and over,
  // so they go sixteen bytes at a time, the unit dividing sixteen. Below them, a group's byte is
  // read before its eight copies are written; they land above every younger group's byte,
  // because each fold left at least one byte and a group takes one.
  std::uint32_t pos = len - (log.first_crlf ? 2 : 1) * log.uniform;
  std::uint32_t top = len;
  if (top - pos >= 16) {
    std::uint8_t piece[16];
    for (std::uint32_t i = 0; i < 16; ++i) piece[i] = log.first_crlf && i % 2 == 0 ? tail1 : tail2;
    for (; top - pos >= 16; top -= 16) __builtin_memcpy(buf + top - 16, piece, 16);
  }
  while (top > pos) {
    buf[--top] = tail2;
    if (log.first_crlf) buf[--top] = tail1;
  }
  std::uint32_t bits = 0;
  for (std::uint32_t logged = 0; logged < log.folds - log.uniform; ++logged) {
    const std::uint32_t group = logged / 8;
    if (logged % 8 == 0) bits = group < groups ? buf[new_len + groups - 1 - group] : log.bits;
    buf[--pos] = tail2;
    if ((bits >> (logged % 8)) & 1u) buf[--pos] = tail1;
  }
  return new_len;
}

// Folds that stand closer than a vector apart cost more as a search and a move each than as a
// walk over a whole span with masks. kPiece is the move's overshoot, see move_down_whole_pieces.
constexpr std::uint32_t kDenseGap = 16;
constexpr std::uint32_t kDenseSpan = 64;
constexpr std::uint32_t kPiece = kWholePiece;
// A span is one 64-byte mask; the mask of the bytes after it reads one byte past the span, which
// the walk's end test leaves room for; and a span's folds, two bytes each at the least, push at
// most one stash byte per eight of them, which the room's last term covers.
static_assert(kDenseSpan == 64, "a span's folds come from one 64-bit mask");
static_assert(kPiece >= 1, "the mask of the bytes after a span reads one byte past it");
static_assert(kDenseSpan / 8 >= (kDenseSpan / 2 + 7) / 8, "the room covers a span's stash bytes");

#if defined(__AVX2__)
// A span's kept bytes gathered to the front a group of 8 at a time, with one shuffle each: byte k
// of entry m is the index of the k-th set bit of m. Built by the compiler, so it cannot drift.
constexpr auto kGatherOrder = [] {
  std::array<std::uint64_t, 256> order{};
  for (unsigned m = 0; m < 256; ++m) {
    unsigned k = 0;
    for (unsigned i = 0; i < 8; ++i) {
      if ((m >> i) & 1) order[m] |= std::uint64_t{i} << (8 * k++);
    }
  }
  return order;
}();
static_assert(kGatherOrder[0b1010'0110] == 0x07'05'02'01);

// Writes the bytes of span[0, 64) that `keep` marks to out, in order, and returns how many. Each
// group's store is 8 bytes whole: up to 7 bytes past the kept ones are written too.
inline std::uint32_t gather_kept(std::uint8_t* out, const std::uint8_t* span,
                                 std::uint64_t keep) noexcept {
  std::uint32_t n = 0;
  for (unsigned g = 0; g < 64; g += 8) {
    const auto m = static_cast<unsigned>((keep >> g) & 0xFF);
    const __m128i bytes = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(span + g));
    const __m128i order = _mm_cvtsi64_si128(static_cast<long long>(kGatherOrder[m]));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out + n), _mm_shuffle_epi8(bytes, order));
    n += static_cast<unsigned>(std::popcount(m));
  }
  return n;
}
#endif

// Visits the LFs in order. The compactor writes only below its read position, which never
// passes the byte after the last fold, and a walk writes only below its span; so every LF visited,
// and the bytes on either side of it, are as the caller left them. A CR before an LF always
// belongs to the LF's own line: the line starts after an LF or at a blank.
class Unfolder {
 public:
  Unfolder(std::uint8_t* buf, std::uint32_t len) noexcept : buf_(buf), len_(len), c_(buf, 0) {}

  // Visits the LF at lf and returns where the search for the next one goes on.
  [[gnu::always_inline]] const std::uint8_t* visit(const std::uint8_t* lf) noexcept {
    const auto next = static_cast<std::uint32_t>(lf - buf_) + 1;
    if (next == len_ || !is_blank(buf_[next])) return lf + 1;  // a terminator at the end stays
    const std::uint32_t eol_len = lf > buf_ && lf[-1] == '\r' ? 2 : 1;
    c_.keep(next - eol_len);
    c_.cut(eol_len);
    log_.add(c_, eol_len == 2);
    const bool close = next - last_fold_ < kDenseGap;
    last_fold_ = next;
    return buf_ + (close ? walk() : next);
  }

  std::uint32_t finish(std::uint8_t tail1, std::uint8_t tail2) noexcept {
    if (log_.folds == 0) return len_;  // most fields: nothing moved, nothing left over
    c_.keep(len_);
    return write_leftovers(buf_, len_, c_, log_, tail1, tail2);
  }

 private:
  // Takes out the folds of kDenseSpan bytes at a time from the read position, while they stand
  // close, and returns where the search goes on. Each span's folds come from masks of its bytes,
  // taken before anything in it moves; each kept run moves in whole pieces, or the wider builds
  // gather a span's kept bytes in whole groups of 8. Every write lands below the span and below
  // the stash: the room covers the span, the kept bytes that the span before left (fewer than
  // kDenseGap), a piece's or group's overshoot and the stash's growth, one byte per eight folds
  // of at least two bytes each. So the bytes from the span on stay as the caller left them;
  // before it, a byte may have become a stash byte only where a fold's LF stood, and then the
  // span opens with that fold's blank, so no CR is looked for there.
  [[gnu::noinline]] std::uint32_t walk() noexcept {
    constexpr std::uint32_t kRoom = kDenseSpan + kDenseGap + kPiece + kDenseSpan / 8;
    std::uint8_t* const buf = buf_;  // a local, because every store could alias the members
    std::uint32_t from = c_.read_pos();
    while (len_ - from >= kDenseSpan + kPiece && c_.room() >= kRoom) {
      const std::uint8_t* const span = buf + from;
      HDX_CHECK(from >= 1);  // the CR mask reads the byte before the span
      std::uint64_t folds = mask64(span, '\n') & (mask64(span + 1, ' ') | mask64(span + 1, '\t'));
      const std::uint64_t crs_before = mask64(span - 1, '\r');
#if defined(__AVX2__)
      // The folds of a span walked stand close, most spans holding four or more: gathered, the
      // folds of CR LF and a blank cost 5.1 instructions a byte instead of 18.4 (x86-64-v3).
      // The baseline has no byte shuffle; byte by byte, a gather would cost it more than moves.
      gather(from, folds, crs_before);
#else
      std::uint32_t w = c_.write_pos();
      std::uint32_t kept = c_.read_pos();  // the first byte not moved yet
      for (; folds != 0; folds &= folds - 1) {
        const auto at = static_cast<std::uint32_t>(__builtin_ctzll(folds));
        const std::uint32_t eol_len = 1 + ((crs_before >> at) & 1);
        const std::uint32_t n = from + at + 1 - eol_len - kept;
        // A move and its overshoot land below the span and below the stash.
        HDX_CHECK(w + n + kPiece <= from &&
                  (c_.stash_lo() == c_.stash_hi() || w + n + kPiece <= c_.stash_lo()));
        move_down_whole_pieces(buf + w, buf + kept, n);
        w += n;
        kept = from + at + 1;
        c_.moved(w, kept);
        log_.add(c_, eol_len == 2);
        last_fold_ = kept;
      }
#endif
      from += kDenseSpan;
      if (from - last_fold_ >= kDenseGap) break;  // the folds thinned out: back to the search
    }
    return from;
  }

#if defined(__AVX2__)
  // Takes out the span's folds by gathering its kept bytes through the last fold, then logs them.
  // A fold's CR is the byte before its LF: for a fold at the span's first byte, the byte before
  // the span, which the span before left unmoved. The bytes after the last fold wait for the
  // next one, as in a walk a move at a time, so the log's stash bytes, pushed only after the
  // moves, land where a fold's LF stood, and no CR mask reads them.
  void gather(std::uint32_t from, std::uint64_t folds, std::uint64_t crs_before) noexcept {
    if (folds == 0) return;  // the folds thinned out: the walk ends here
    std::uint8_t* const buf = buf_;
    const std::uint64_t crlf_folds = folds & crs_before;
    const auto last = static_cast<std::uint32_t>(63 - std::countl_zero(folds));  // its LF
    std::uint32_t w = c_.write_pos();
    const std::uint32_t kept = c_.read_pos();
    const std::uint32_t before_span = from - static_cast<std::uint32_t>(crlf_folds & 1) - kept;
    HDX_CHECK(before_span < kDenseGap &&
              w + before_span + kDenseSpan + 8 <=
                  (c_.stash_lo() == c_.stash_hi() ? from : c_.stash_lo()));
    move_down_whole_pieces(buf + w, buf + kept, before_span);
    w += before_span;
    const std::uint64_t through_last = ~std::uint64_t{0} >> (63 - last);
    w += gather_kept(buf + w, buf + from, through_last & ~(folds | crlf_folds >> 1));
    last_fold_ = from + last + 1;
    c_.moved(w, last_fold_);
    const auto count = static_cast<std::uint32_t>(std::popcount(folds));
    const bool one_kind = crlf_folds == 0 || crlf_folds == folds;
    if (one_kind && log_.add_uniform(count, crlf_folds != 0)) return;
    for (; folds != 0; folds &= folds - 1) {
      log_.add(c_, (crlf_folds >> std::countr_zero(folds)) & 1);
    }
  }
#endif

  std::uint8_t* buf_;
  std::uint32_t len_;
  Compactor c_;
  FoldLog log_;
  std::uint32_t last_fold_ = 0;  // the byte after the last fold's LF
};

#if HDX_FAST_PATHS && defined(__SSE2__)
// A field of up to kShortMax bytes, nearly every real one, is unfolded in a simpler pass:
// its LFs come from one mask per 64 bytes, and where a blank follows one, the kept bytes before
// it move down at once, and the fold's kind goes to a list on the stack, from which the leftovers
// are written at the end. A field with no fold costs its masks and nothing else. The search's
// restarts, the compactor's window and the log's stash, which the general walk needs for a field
// of any size, made a realistic Received field cost 713 instructions, where this pass brought it
// to 511 (789 and 625 on the baseline; callgrind). Only where a 64-byte mask is a few vector
// compares: PowerPC's words would pay more for the masks than its search does. As in the walk,
// every write lands below the LF being looked at, so the masks and the bytes read around an LF
// are the caller's. The bytes before the first whole block take the mask of the field's first 64,
// from kShortMin bytes on, or below that a short span's, where the builds have them.
constexpr std::uint32_t kShortMin = 64;
constexpr std::uint32_t kShortMax = 512;

// The kept runs between folds, a line each, mostly hold 32 to 128 bytes: two or four 32-byte
// pieces, the last ones ending at the run's end, all loaded before any is stored, as any overlap
// needs; where move_down's dispatch, or a loop of pieces, costs as much as the move.
[[gnu::always_inline]] inline void move_kept(std::uint8_t* dst, const std::uint8_t* src,
                                             std::uint32_t n) noexcept {
  using Piece [[gnu::vector_size(32)]] = std::uint8_t;
  constexpr std::uint32_t kSize = sizeof(Piece);
  Piece a, b, c, d;
  if (n >= kSize && n <= 2 * kSize) {
    __builtin_memcpy(&a, src, kSize);
    __builtin_memcpy(&b, src + n - kSize, kSize);
    __builtin_memcpy(dst, &a, kSize);
    __builtin_memcpy(dst + n - kSize, &b, kSize);
  } else if (n > 2 * kSize && n <= 4 * kSize) {
    __builtin_memcpy(&a, src, kSize);
    __builtin_memcpy(&b, src + kSize, kSize);
    __builtin_memcpy(&c, src + n - 2 * kSize, kSize);
    __builtin_memcpy(&d, src + n - kSize, kSize);
    __builtin_memcpy(dst, &a, kSize);
    __builtin_memcpy(dst + kSize, &b, kSize);
    __builtin_memcpy(dst + n - 2 * kSize, &c, kSize);
    __builtin_memcpy(dst + n - kSize, &d, kSize);
  } else {
    move_down(dst, src, n);
  }
}

// `head_lfs`: the LFs of the bytes before the first whole block, the field's last byte left out.
[[gnu::always_inline]] inline std::uint32_t unfold_short(std::uint8_t* buf, std::uint32_t len,
                                                       std::uint64_t head_lfs) noexcept {
  HDX_CHECK(len <= kShortMax);
  bool crlf_folds[kShortMax / 2];  // a fold takes two bytes at the least
  std::uint32_t folds = 0;
  std::uint32_t w = 0;     // the end of the kept bytes
  std::uint32_t kept = 0;  // the first byte not kept yet
  const auto visit = [&](std::uint32_t block, std::uint64_t lfs) HDX_INLINE_WIDE {
    for (; lfs != 0; lfs &= lfs - 1) {
      const std::uint32_t lf = block + static_cast<std::uint32_t>(std::countr_zero(lfs));
      if (!is_blank(buf[lf + 1])) continue;
      // The byte before the LF, or at the field's start the LF itself, which is no CR.
      const bool crlf = buf[lf - (lf != 0)] == '\r';
      const std::uint32_t cut = lf - crlf;
      if (folds == 0) w = kept = cut;  // nothing moves below the first fold
      move_kept(buf + w, buf + kept, cut - kept);
      w += cut - kept;
      kept = lf + 1;
      crlf_folds[folds++] = crlf;
    }
  };
  // The bytes before the first whole block, then whole blocks up to the end. A terminator at the
  // end stays: the last block's last bit is dropped.
  if (head_lfs != 0) visit(0, head_lfs);
  for (std::uint32_t block = len % 64; block < len; block += 64) {
    std::uint64_t lfs = mask64(buf + block, '\n');
    if (block + 64 == len) lfs &= ~(std::uint64_t{1} << 63);
    if (lfs != 0) visit(block, lfs);
  }
  if (folds == 0) return len;
  // The field's last two bytes, before the last move, which may reach the second of them.
  const std::uint8_t tail2 = buf[len - 1];
  const std::uint8_t tail1 = buf[len - 2];
  move_kept(buf + w, buf + kept, len - kept);
  const std::uint32_t new_len = w + (len - kept);
  std::uint32_t top = len;
  // Without a branch: an LF fold's tail1 is overwritten by its tail2.
  for (std::uint32_t i = 0; i < folds; ++i) {
    top -= 1 + crlf_folds[i];
    buf[top] = tail1;
    buf[top + crlf_folds[i]] = tail2;
  }
  HDX_CHECK(top == new_len);
  return new_len;
}

// A field of kShortMin bytes or more: before its first whole block, the mask of its first 64 gives
// the LFs. Inline in the builds with short spans, where a call cost a Received field 26
// instructions; out of line in the baseline, whose general walk would otherwise pay for the frame
// of its 32-byte pieces (a Received field 581 instructions a call, not 551).
#if HDX_SHORT_SPANS
[[gnu::always_inline]] inline
#else
[[gnu::noinline]]
#endif
std::uint32_t unfold_blocks(std::uint8_t* buf, std::uint32_t len) noexcept {
  const std::uint32_t head = len % 64;
  return unfold_short(buf, len, head == 0 ? 0 : mask64(buf, '\n') & bits_below(head));
}
#endif

}  // namespace

std::uint32_t unfold(std::uint8_t* buf, std::uint32_t len) noexcept {
  if (len == 0) return 0;
  // Most fields are short and hold no fold, which a short span's masks tell at once: no LF with
  // a blank after it. Nothing moves then, and the general walk would find as much.
#if HDX_SHORT_SPANS
  if (len >= kShortSpanMin && len <= kShortSpanMax) {
    const ShortSpan span(buf, len);
    const std::uint64_t lfs = span.mask('\n') & ~(std::uint64_t{1} << (len - 1));
    if (lfs == 0 || (lfs & span.mask(' ', '\t') >> 1) == 0) return len;
    if (len < kShortMin) return unfold_short(buf, len, lfs);
  }
#endif
#if HDX_FAST_PATHS && defined(__SSE2__)
  if (len >= kShortMin && len <= kShortMax) return unfold_blocks(buf, len);
#endif
  const std::uint8_t tail2 = buf[len - 1];
  const std::uint8_t tail1 = len >= 2 ? buf[len - 2] : 0;
  Unfolder unfolder(buf, len);
  for_each_byte(buf, buf + len, '\n', [&](const std::uint8_t* lf) { return unfolder.visit(lf); });
  return unfolder.finish(tail1, tail2);
}

}  // namespace hdx::detail

extern "C" HDX_EXPORT std::uint32_t HDXUnfoldEmailHdrLine(char* buf, std::uint32_t bufLen) {
  if (buf == nullptr) return bufLen;
  return hdx::detail::unfold(reinterpret_cast<std::uint8_t*>(buf), bufLen);
}
