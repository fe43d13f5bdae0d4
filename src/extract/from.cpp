// HDXExtractSenderEmailAddrFromFromHdrField and its Return-Path twin: the sender's mailbox
// address out of a whole From field, through display names, comments, encoded words, quoted
// strings and blanks around the "@".
#include <bit>
#include <type_traits>
#include <utility>

#include "extract/at_sign.h"
#include "extract/cuts.h"
#include "extract/field.h"
#include "hdx.h"
#include "scan/search.h"
#include "scan/tokens.h"
#include "scan/unfold.h"

namespace hdx::detail {
namespace {

// "From:" is taken as read, whatever the bytes say. Return-Path fields pass over the same five
// bytes, so the rest of their name stays in the region: callers rely on that behaviour.
constexpr std::uint32_t kNameLen = 5;

// How many comments of `len` bytes, with no parenthesis or backslash inside, stand one after
// another from b[p], as far as whole 64-byte windows show them; 0 where the first is not such.
// A window's masks of "(", ")" and backslashes must be exactly the run's: one "(" every `len`
// bytes, the ")" before each next one, no backslash, up to the first byte that differs.
inline std::uint32_t run_of_comments(const std::uint8_t* b, std::uint32_t p, std::uint32_t end,
                                     std::uint32_t len) noexcept {
  std::uint64_t opens = 1;  // a bit every `len` bits from bit 0
  for (std::uint32_t shift = len; shift < 64; shift *= 2) opens |= opens << shift;
  const std::uint64_t closes = opens << (len - 1);
  const std::uint32_t per_window = 64 / len;
  std::uint32_t count = 0;
  for (; end - p >= 64; p += per_window * len) {
    const std::uint64_t differ =
        (mask64(b + p, '(') ^ opens) | (mask64(b + p, ')') ^ closes) | mask64(b + p, '\\');
    const std::uint32_t whole =
        differ == 0 ? per_window : static_cast<std::uint32_t>(std::countr_zero(differ)) / len;
    count += whole;
    if (whole != per_window) break;
  }
  return count;
}

// Comments in the region, in order. They are found without regard to quoted strings, so a "("
// inside a quoted display name starts one too; a backslash outside a comment skips a byte. Short
// comments that follow one another come as one run, as a hostile field holds them by the
// million: their masks cost a few instructions a comment, where measuring each costs dozens.
struct CommentCuts {
  const std::uint8_t* b;
  std::uint32_t p, end;
  bool unclosed = false;

  Cut operator()() noexcept {
    while (p < end) {
      const std::uint8_t* next = find_any(b + p, b + end, '(', '\\');
      p = next == nullptr ? end : static_cast<std::uint32_t>(next - b);
      if (p == end) break;
      if (b[p] == '(') {
        const std::uint32_t len = comment_len({b + p, b + end});
        if (len == 0) {
          unclosed = true;
          p = end;
          break;
        }
        std::uint32_t count = 1;
        if (HDX_FAST_PATHS && len <= kShortRun && end - p >= 64 + len && b[p + len] == '(') {
          const std::uint32_t run = run_of_comments(b, p, end, len);
          count = run > 1 ? run : 1;
        }
        const std::uint32_t at = p;
        p += len * count;
        return {at, len, count};
      }
      p += 2;  // a backslash: the byte after it is escaped
    }
    return {end, 0};
  }

  // The longest comment that a run takes: its masks must show a few of them in a window.
  static constexpr std::uint32_t kShortRun = 16;
};

// Encoded words in the region, in order: from an "=?" through the first "?=" after it, whatever
// lies between. An "=?" without a "?=" after it, or cut off by the region's end, ends the search.
struct EncodedWordCuts {
  const std::uint8_t* b;
  std::uint32_t p, end;

  // Inline: left a call, as GCC left it once the short fields' readings grew, a hostile field of
  // encoded words took 17.1 instructions a byte instead of 13.
  [[gnu::always_inline]] Cut operator()() noexcept {
    const std::uint8_t* open = find_pair(b + p, b + end, '=', '?');
    if (open == nullptr) return stop();
    const std::uint8_t* close = find_pair(open + 2, b + end, '?', '=');
    if (close == nullptr) return stop();
    const auto at = static_cast<std::uint32_t>(open - b);
    p = static_cast<std::uint32_t>(close - b) + 2;
    return {at, p - at};
  }
  Cut stop() noexcept {
    p = end;
    return {end, 0};
  }
};

// Cuts what `Cuts` finds in the region [start, end) one cut at a time, each moving the rest of the
// region down, and returns the region's new end: the steps themselves, for a region short enough
// that a move is a few vector loads and stores, where they cost less than the one-pass rebuild of
// cut_spans for the few cuts a field holds. Each search starts again where the last cut was.
template <class Cuts>
std::uint32_t cut_one_at_a_time(std::uint8_t* b, std::uint32_t start, std::uint32_t end,
                                bool* unclosed = nullptr) noexcept {
  HDX_CHECK(end - start <= kShortMove);
  for (std::uint32_t p = start;;) {
    Cuts cuts{b, p, end};
    const Cut cut = cuts();
    if constexpr (requires { cuts.unclosed; }) *unclosed = cuts.unclosed;
    if (cut.len == 0) return end;
    for (std::uint32_t i = 0; i < cut.count; ++i) {
      move_down(b + cut.at, b + cut.at + cut.len, end - cut.at - cut.len);
      end -= cut.len;
    }
    p = cut.at;
  }
}

// The local part before the "@" at `at`, as [first, last] inside [start, at), or first == last
// when it has fewer than two bytes. A quoted local part gives its last blank-free run, unquoted.
// A "<" right before the "@" leaves it empty.
struct Range {
  std::uint32_t first, last;
};
constexpr bool ends_quoted_run(std::uint8_t c) noexcept { return c == '"' || is_blank(c); }
constexpr bool ends_plain_run(std::uint8_t c) noexcept { return c == '<' || ends_quoted_run(c); }

Range find_local_part(const std::uint8_t* b, std::uint32_t start, std::uint32_t at) noexcept {
  constexpr Range kNone{0, 0};
  std::uint32_t e = at;
  while (e > start && is_blank(b[e - 1])) --e;
  if (e == start) return kNone;
  --e;  // the byte before the blanks
  const bool quoted = b[e] == '"';
  if (quoted) {
    if (e == start || ends_quoted_run(b[e - 1])) return kNone;
    --e;
  } else if (b[e] == '<') {
    return kNone;
  }
  std::uint32_t first = e;
  while (first > start &&
         !(quoted ? ends_quoted_run(b[first - 1]) : ends_plain_run(b[first - 1]))) {
    --first;
  }
  return {first, e};
}

std::uint32_t put(char* out, std::uint32_t room, const std::uint8_t* src,
                  std::uint32_t n) noexcept {
  const std::uint32_t m = n < room ? n : room;
  T_memcpy(out, src, m);
  out[m] = '\0';
  return m;
}

// The domain after the "@" at `at`, as [first, stop), when it is well formed.
struct Domain {
  std::uint32_t first, stop;
  bool found;
};

// Called once a field. The x86-64-v3 build otherwise leaves it a call (a From field took 772
// instructions, not 723); forced in the baseline, it costs hostile quotes 7% more.
HDX_INLINE_WIDE inline Domain find_domain(const std::uint8_t* b, std::uint32_t at,
                                          std::uint32_t end) noexcept {
  auto d = static_cast<std::uint32_t>(skip_blanks(b + at + 1, b + end) - b);
  if (d == end) return {d, d, false};
  if (b[d] == '[') {  // a literal: up to a "]" or a blank, which must come
    d = static_cast<std::uint32_t>(skip_blanks(b + d + 1, b + end) - b);
    const std::uint8_t* stop = find_any(b + d, b + end, ']', ' ', '\t');
    return {d, stop == nullptr ? end : static_cast<std::uint32_t>(stop - b), stop != nullptr};
  }
  const std::uint8_t* stop = find_any_above(b, b + d, b + end, '>', ',', ' ', '\t');
  return {d, stop == nullptr ? end : static_cast<std::uint32_t>(stop - b), true};
}

// What the reading finds before anything is written: the "@", the local part, and the domain after
// the "@" (read only where a byte follows it).
struct Found {
  std::uint32_t at;
  Range local;
  Domain domain;
};
// kUnknown: the masks were made, showed no LF but the line end, and the walks must read the field;
// kFolded: the masks showed an LF, and the field must be unfolded first; kUnmasked: no masks.
enum class Read { kFail, kFound, kUnknown, kFolded, kUnmasked };

// The region [start, end) read by the walks, once nothing is left to unfold or cut.
Read read_walks(const std::uint8_t* field, std::uint32_t start, std::uint32_t end,
                Found& f) noexcept {
  const std::uint32_t at = find_at_sign(field, start, end);
  if (at == end) return Read::kFail;
  f = {at, find_local_part(field, start, at), {}};
  if (f.local.first >= f.local.last) return Read::kFail;
  if (at + 1 < end) f.domain = find_domain(field, at, end);
  return Read::kFound;
}

#if HDX_SHORT_SPANS
// The region [start, end) of a span of the field that holds no backslash and nothing left to
// unfold or cut, read from its masks: the positions the walks above find.
template <class Span, class Mask>
[[gnu::always_inline]] inline Read read_span(const Span& span, const std::uint8_t* b,
                                             std::uint32_t start, std::uint32_t end, Mask blanks,
                                             Found& f) noexcept {
  // Mostly no quote comes before the "@", which is then the first of either, from one unit's mask:
  // the local part then holds no quote, and no mask of quotes is made.
  std::uint32_t at = span.first(start, '@', '"');
  Mask quotes = 0;
  if (at < end && b[at] == '"') {
    quotes = span.mask('"') & bits_in<Mask>(start, end);
    at = first_in(span.mask('@') & ~inside_strings(quotes), start, end);
  }
  if (at >= end) return Read::kFail;
  // The local part, as find_local_part walks back to it. Its last byte is mostly the one right
  // before the "@": tested first, it spares most fields the search (6 instructions a field).
  std::uint32_t e = at - 1;
  if (at == start || (blanks >> e & 1) != 0) {
    e = last_in(~blanks, start, at, end);
    if (e == end) return Read::kFail;
  }
  Mask stops = quotes | blanks;
  if (b[e] == '"') {
    if (e == start || (stops >> (e - 1) & 1) != 0) return Read::kFail;
    --e;
  } else if (b[e] == '<') {
    return Read::kFail;
  } else {
    stops |= span.mask('<');
  }
  // The local part starts after the last stop before its last byte, or at `start`. In 64 bits the
  // bit before `start` stands for that, so that finding the stop takes no branch: a bare address
  // and one in brackets come in no order, and the branch mispredicted (a short plain field took
  // 27.4 ns where it takes 25.2, for half an instruction more). In 128 bits the count of the
  // highest bit branches anyway, and the bit cost a plain medium field 24 instructions.
  std::uint32_t first;
  if constexpr (sizeof(Mask) == 8) {
    first = highest((stops | Mask{1} << (start - 1)) & bits_in<Mask>(start - 1, e)) + 1;
  } else {
    first = last_in(stops, start, e, start - 1) + 1;
  }
  f = {at, {first, e}, {}};
  if (f.local.first >= f.local.last) return Read::kFail;
  if (at + 1 == end) return Read::kFound;  // the output fails after the "@"
  // The domain, as find_domain reads it, mostly from the byte right after the "@".
  std::uint32_t d = at + 1;
  if ((blanks >> d & 1) != 0) d = first_in(~blanks, d, end);
  if (d == end) {
    f.domain = {d, d, false};
  } else if (b[d] == '[') {
    const std::uint32_t literal = first_in(~blanks, d + 1, end);
    const std::uint32_t stop = first_in(span.mask(']') | blanks, literal, end);
    f.domain = {literal, stop, stop != end};
  } else {
    // Mostly from the high unit's mask alone, which holds the end of the field.
    const std::uint32_t stop = span.template first<true>(d, '>', ',', ' ', '\t');
    f.domain = {d, stop < end ? stop : end, true};
  }
  return Read::kFound;
}

// The region [start, end) read from the masks of the span it fills, unless it holds a backslash.
template <class Span>
[[gnu::always_inline]] inline Read read_spanned(const std::uint8_t* b, std::uint32_t start,
                                                std::uint32_t end, Found& f) noexcept {
  using Mask = decltype(std::declval<Span>().mask(' '));
  const Span span(b, end);
  if ((span.mask('\\') & bits_in<Mask>(start, end)) != 0) return read_walks(b, start, end, f);
  return read_span(span, b, start, end, span.mask(' ', '\t'), f);
}

Read read_region(const std::uint8_t* b, std::uint32_t start, std::uint32_t end, Found& f) noexcept;

// The cuts that a region holding no backslash needs, as the cutting passes would find them, at
// their positions before any is made. A comment runs from a "(" to the first ")" after it, and an
// encoded word from an "=?" to the first "?=" after it, both bytes of each inside the region.
template <class Mask>
struct MaskCuts {
  static constexpr std::uint32_t kMost = 4 * sizeof(Mask);  // a cut takes two bytes or more
  std::uint32_t at[kMost], len[kMost];
  std::uint32_t count = 0;
  bool unclosed = false;

  void add(std::uint32_t from, std::uint32_t to) noexcept {  // [from, to]
    at[count] = from;
    len[count++] = to - from + 1;
  }
  // False where a comment holds a "(", whose nesting only the comment walk measures.
  bool comments(Mask opens, Mask closes) noexcept {
    while (opens != 0) {
      const std::uint32_t open = lowest(opens);
      const Mask after = closes & ~bits_below<Mask>(open);
      if (after == 0) {  // the field fails, once the comments before this one are cut
        unclosed = true;
        return true;
      }
      const std::uint32_t close = lowest(after);
      opens &= opens - 1;
      if ((opens & bits_below<Mask>(close)) != 0) return false;
      add(open, close);
    }
    return true;
  }
  // `opens` marks each "=?", `closes` each "?=", by its first byte.
  void encoded_words(Mask opens, Mask closes) noexcept {
    while (opens != 0) {
      const std::uint32_t open = lowest(opens);
      const Mask after = closes & ~bits_below<Mask>(open + 2);
      if (after == 0) return;  // an "=?" with no "?=" after it ends the search
      const std::uint32_t close = lowest(after) + 1;
      add(open, close);
      opens &= ~bits_below<Mask>(close + 1);
    }
  }
  // Each cut as the passes make it, moving the rest of the region down; the region's new end.
  std::uint32_t make(std::uint8_t* b, std::uint32_t end) const noexcept {
    std::uint32_t cut_so_far = 0;
    for (std::uint32_t i = 0; i < count; ++i) {
      const std::uint32_t from = at[i] - cut_so_far;
      move_down(b + from, b + from + len[i], end - from - len[i]);
      end -= len[i];
      cut_so_far += len[i];
    }
    return end;
  }
};

// The region [start, end) with the comments or the encoded words that `opens` and `closes` mark
// cut, then read. Out of line: its list of cuts would cost every short field a larger frame.
// Which of the two is a template argument: as a seventh argument it went on the stack, and a
// caller that passes arguments there has its 32-byte frame aligned through a spare register,
// which cost a short field with a comment or an encoded word 18 instructions and one with
// nothing to cut 5.
template <bool kComments, class Mask>
[[gnu::noinline]] Read cut_and_read(std::uint8_t* b, std::uint32_t start, std::uint32_t end,
                                    Mask opens, Mask closes, Found& f) noexcept {
  MaskCuts<Mask> cuts;
  if constexpr (kComments) {
    if (!cuts.comments(opens, closes)) return Read::kUnknown;
  } else {
    cuts.encoded_words(opens, closes);
  }
  if constexpr (!kComments) {
    // One encoded word with bytes after it, as mostly before the address: the span of what is left
    // loaded before the move (see ShortSpan::after_cut). A comment mostly follows the address, and
    // its cut moves nothing, so that the span below loads the bytes as they stand.
    const std::uint32_t left = end - cuts.len[0];
    if (cuts.count == 1 && cuts.at[0] < left && left >= kShortSpanMin && left <= kShortSpanMax) {
      const ShortSpan span = ShortSpan::after_cut(b, end, cuts.at[0], cuts.len[0]);
      cuts.make(b, end);
      return read_span(span, b, start, left, span.mask(' ', '\t'), f);
    }
  }
  end = cuts.make(b, end);
  if (cuts.unclosed || end <= start) return Read::kFail;
  if (end < kShortSpanMin || end > kShortSpanMax) return read_region(b, start, end, f);
  const ShortSpan span(b, end);
  return read_span(span, b, start, end, span.mask(' ', '\t'), f);
}

// A field of up to 64 bytes (a ShortSpan) or 128 (a MediumSpan) with nothing to unfold and no
// backslash, which is most of them, read from its masks, its comments or encoded words (not both:
// the cutting of the one could make the other) cut at positions that the masks give. Unknown for
// any other field, which the walks read; their search for what needs cutting is not made again.
// Once it is unfolded, an LF left in the field is a byte like any other.
template <class Span>
[[gnu::always_inline]] inline Read read_masked(const Span& span, std::uint8_t* b, std::uint32_t len,
                                               bool unfolded, Found& f) noexcept {
  using Mask = decltype(std::declval<Span>().mask(' '));
  constexpr bool kShort = std::is_same_v<Span, ShortSpan>;
  const Mask lfs = span.mask('\n');
  std::uint32_t end = len;
  if ((lfs >> (len - 1) & 1) != 0 && --end > 0 && b[end - 1] == '\r') --end;
  if (!unfolded && (lfs & bits_below<Mask>(end)) != 0) return Read::kFolded;
  if (end <= kNameLen) return Read::kFail;
  // Most fields hold one blank after the name, and their content from the byte after it. A short
  // span's reading takes the mask of its blanks anyway, and finds that in it; a medium span's
  // reading tests the two bytes, and makes the mask only where they are not so (a field with an
  // encoded word, 543 instructions instead of 568).
  std::uint32_t start = kNameLen + 1;
  Mask blanks = kShort ? span.mask(' ', '\t') : 0;
  const bool one_blank = end > start && (kShort ? (blanks >> kNameLen & 3) == 1
                                                : is_blank(b[kNameLen]) && !is_blank(b[start]));
  if (!one_blank) {
    if constexpr (!kShort) blanks = span.mask(' ', '\t');
    const Mask words = ~blanks & bits_in<Mask>(kNameLen, end);
    if (words == 0) return Read::kFail;
    start = lowest(words);
  }
  const Mask region = bits_in<Mask>(start, end);
  Mask opens = 0, equals = 0;
  // A medium span's field mostly holds no "(" and no backslash (13 in 10,000 of the realistic set
  // hold one), which one test of its compares tells, and then its "=" alone needs a mask. The walks
  // read the others: while their comments were cut from masks too, GCC kept the test's compares
  // for those masks, spilled, in every medium field (a plain one took 459 instructions where it
  // takes 443, one with an encoded word 566 where it takes 554). A short span's masks cost less
  // than the test.
  if constexpr (!kShort) {
    if (span.any('(', '\\')) return Read::kUnknown;
    equals = span.mask('=') & region;
  } else if ((span.mask('(', '\\', '=') & region) != 0) {
    opens = span.mask('(') & region;
    equals = span.mask('=') & region;
    if ((span.mask('\\') & region) != 0 || (opens != 0 && equals != 0)) return Read::kUnknown;
    // One comment that ends the region, as mostly after the address: its cut moves no byte, and
    // the masks read what it leaves, up to it, without the cutting's call (a short field with a
    // comment, 282 instructions instead of 394).
    const std::uint32_t open = lowest(opens);
    if (opens != 0 && (opens & (opens - 1)) == 0 &&
        first_in(span.mask(')'), open, end) == end - 1) {
      if (open <= start) return Read::kFail;
      end = open;
      opens = 0;
    }
  }
  if ((opens | equals) == 0) {
    if constexpr (!kShort) {
      if (one_blank) blanks = span.mask(' ', '\t');
    }
    return read_span(span, b, start, end, blanks, f);
  }
  // The reading's record goes through memory as the call's, so that the caller's own need not.
  Found cut;
  Read read;
  if (opens == 0) {
    // Both bytes of an "=?" or a "?=" inside the region.
    const Mask marks = span.mask('?') & bits_in<Mask>(start, end - 1);
    const Mask pairs = bits_below<Mask>(end - 1);
    read = cut_and_read<false>(b, start, end, equals & marks >> 1 & pairs,
                               marks & equals >> 1 & pairs, cut);
  } else if constexpr (kShort) {
    read = cut_and_read<true>(b, start, end, opens, span.mask(')') & region, cut);
  }
  if (read == Read::kFound) f = cut;
  return read;
}

// The field read from its masks where its length has them made, or kUnmasked.
[[gnu::always_inline]] inline Read read_masked(std::uint8_t* b, std::uint32_t len, bool unfolded,
                                               Found& f) noexcept {
  if (len >= kShortSpanMin && len <= kShortSpanMax) {
    return read_masked(ShortSpan(b, len), b, len, unfolded, f);
  }
#if defined(__SIZEOF_INT128__)
  if (len >= MediumSpan::kMin && len <= MediumSpan::kMax) {
    return read_masked(MediumSpan(b, len), b, len, unfolded, f);
  }
#endif
  return Read::kUnmasked;
}
#else
Read read_masked(std::uint8_t*, std::uint32_t, bool, Found&) noexcept { return Read::kUnmasked; }
#endif

// A field unfolded and read after its masks showed a fold: out of line, as few are. A short field
// with one fold, as most folded fields, loses that line end in one move of the rest, which leaves
// the bytes that unfold would, and the span of what is left is loaded before the move.
[[gnu::noinline]] Read read_unfolded(std::uint8_t* b, std::uint32_t& len, Found& f) noexcept {
#if HDX_SHORT_SPANS
  if (len >= kShortSpanMin && len <= kShortSpanMax) {
    const ShortSpan span(b, len);
    // Every LF but a last byte's, and the ones a blank follows: the folds.
    const std::uint64_t lfs = span.mask('\n') & bits_below(len - 1);
    const std::uint64_t folds = lfs & span.mask(' ', '\t') >> 1;
    HDX_CHECK(lfs != 0);  // the masks that sent the field here showed an LF before its end
    const std::uint32_t lf = lowest(lfs);
    const std::uint32_t line_end = lf > 0 && b[lf - 1] == '\r' ? 2 : 1;
    if (folds == lfs && (lfs & (lfs - 1)) == 0 && len - line_end >= kShortSpanMin) {
      const ShortSpan unfolded = ShortSpan::after_cut(b, len, lf + 1 - line_end, line_end);
      move_down(b + lf + 1 - line_end, b + lf + 1, len - lf - 1);
      len -= line_end;
      return read_masked(unfolded, b, len, true, f);
    }
  }
#endif
  len = unfold(b, len);
  return read_masked(b, len, true, f);
}

// The region [start, end) of a field, with nothing left to unfold or cut, read: from a span's masks
// where it fits one and holds no backslash, as most do once their comments and encoded words are
// cut, or else by the walks.
Read read_region(const std::uint8_t* b, std::uint32_t start, std::uint32_t end, Found& f) noexcept {
#if HDX_SHORT_SPANS
  if (end >= kShortSpanMin && end <= kShortSpanMax) {
    return read_spanned<ShortSpan>(b, start, end, f);
  }
#if defined(__SIZEOF_INT128__)
  if (end >= MediumSpan::kMin && end <= MediumSpan::kMax) {
    return read_spanned<MediumSpan>(b, start, end, f);
  }
#endif
#endif
  return read_walks(b, start, end, f);
}

// How far a field has come when the walks take it over: untouched, or with nothing left to unfold
// (unfolded, or holding no LF but its line end) and known to hold what may need cutting.
enum class Stage { kFresh, kUnfolded };

// The in-place steps from `stage` on, then the walks.
Read read_general(std::uint8_t* field, std::uint32_t field_len, Stage stage, Found& f) noexcept {
  // Most From fields are one line without comments or encoded words. Where the content holds no
  // LF, "(", backslash or "=", the unfold and both cutting passes would change nothing and find
  // nothing, so one search for those four bytes stands in for all three.
  const Bytes content = field_content(field, field_len);
  const bool plain =
      stage == Stage::kFresh && find_any(content.p, content.end, '\n', '(', '\\', '=') == nullptr;
  const bool unfold_now = !plain && stage == Stage::kFresh;
  std::uint32_t end =
      unfold_now ? field_content(field, unfold(field, field_len)).size() : content.size();
  if (end <= kNameLen) return Read::kFail;
  const auto start = static_cast<std::uint32_t>(skip_blanks(field + kNameLen, field + end) - field);
  if (start == end) return Read::kFail;

  // Comments, then encoded words: a short region one cut at a time, a longer one in one pass.
  if (!plain && HDX_FAST_PATHS && end - start <= kShortMove) {
    bool unclosed = false;
    end = cut_one_at_a_time<CommentCuts>(field, start, end, &unclosed);
    if (unclosed || end <= start) return Read::kFail;
    end = cut_one_at_a_time<EncodedWordCuts>(field, start, end);
    if (end <= start) return Read::kFail;
  } else if (!plain) {
    CommentCuts comments{field, start, end};
    end = cut_spans(field, start, end, comments);
    if (comments.unclosed || end <= start) return Read::kFail;
    EncodedWordCuts words{field, start, end};
    end = cut_spans(field, start, end, words);
    if (end <= start) return Read::kFail;
  }

  return read_region(field, start, end, f);
}

// The address that a reading found written to out, or HDX_FAIL. The output is built in three
// pieces, the local part, "@" and the domain, each cut to the room left and zero-terminated, and a
// piece that fills the room fails the call with what was written kept. Where the three stand side
// by side in the field, as in most, one copy cut to the room writes what they would, and the call
// fails where the "@" would.
[[gnu::always_inline]] inline std::int32_t write_address(const std::uint8_t* field, Read read,
                                                         const Found& f, char* out,
                                                         std::uint32_t out_size) noexcept {
  if (read == Read::kFail) return HDX_FAIL;
  const std::uint32_t room = out_size - 1;
  const std::uint32_t local_len = f.local.last - f.local.first + 1;
  const bool whole = f.domain.found;  // found only where a byte follows the "@"
  if (whole && f.local.last + 1 == f.at && f.domain.first == f.at + 1) {
    // Decided before the copy, so that the length need not be kept across the call.
    const std::int32_t result = local_len + 1 < room ? HDX_OK : HDX_FAIL;
    put(out, room, field + f.local.first, f.domain.stop - f.local.first);
    return result;
  }
  const std::uint32_t m = put(out, room, field + f.local.first, local_len);
  if (m >= room) return HDX_FAIL;
  out[m] = '@';
  out[m + 1] = '\0';
  if (m + 1 >= room) return HDX_FAIL;
  if (!whole) return HDX_FAIL;
  put(out + m + 1, room - (m + 1), field + f.domain.first, f.domain.stop - f.domain.first);
  return HDX_OK;
}

// Every field that a span's masks do not answer, from where they left it: `read` is kUnmasked
// where none were made. Out of line where there are spans, so that the spans' reading keeps its
// record in registers and its frame holds none of the registers these need; the baseline, which
// has no spans, takes it inline.
#if HDX_SHORT_SPANS
[[gnu::noinline]]
#else
[[gnu::always_inline]] inline
#endif
std::int32_t extract_other(std::uint8_t* field, std::uint32_t field_len, Read read, char* out,
                           std::uint32_t out_size) noexcept {
  Found f;  // set whole by each reading that finds an address
  const Stage stage = read == Read::kUnmasked ? Stage::kFresh : Stage::kUnfolded;
  if (read == Read::kFolded) {
    read = read_unfolded(field, field_len, f);
  }
  if (read == Read::kUnknown || read == Read::kUnmasked) {
    read = read_general(field, field_len, stage, f);
  }
  return write_address(field, read, f, out, out_size);
}

#if HDX_SHORT_SPANS
// A field of kShortSpanMin to 64 bytes (a ShortSpan) or up to 128 (a MediumSpan), as far as its
// span's masks read it. Each width out of line on its own, so that no field pays for the registers
// and frame of another width's masks: a medium field with nothing to cut is read from the span made
// here, where another function made it again (a plain one took 506 instructions where this makes
// it 459), and a folded short field, unfolded in extract_other, no longer meets a medium span's
// frame there (438 where it takes 422).
template <class Span>
[[gnu::noinline]] std::int32_t extract_spanned(std::uint8_t* field, std::uint32_t field_len,
                                               char* out, std::uint32_t out_size) noexcept {
  Found f;
  const Span span(field, field_len);
  const Read read = read_masked(span, field, field_len, false, f);
  if (read == Read::kFound || read == Read::kFail) {
    return write_address(field, read, f, out, out_size);
  }
  return extract_other(field, field_len, read, out, out_size);
}
#endif

// Both exported names share this, so neither calls the other through the symbol table.
std::int32_t extract_sender(char* field, std::uint32_t field_len, char* out,
                            std::uint32_t out_size) noexcept {
  if (field == nullptr || out == nullptr || out_size == 0) return HDX_FAIL;
  auto* const b = reinterpret_cast<std::uint8_t*>(field);
#if HDX_SHORT_SPANS
  if (field_len >= kShortSpanMin && field_len <= kShortSpanMax) {
    return extract_spanned<ShortSpan>(b, field_len, out, out_size);
  }
#if defined(__SIZEOF_INT128__)
  if (field_len >= MediumSpan::kMin && field_len <= MediumSpan::kMax) {
    return extract_spanned<MediumSpan>(b, field_len, out, out_size);
  }
#endif
#endif
  return extract_other(b, field_len, Read::kUnmasked, out, out_size);
}

}  // namespace
}  // namespace hdx::detail

extern "C" HDX_EXPORT std::int32_t HDXExtractSenderEmailAddrFromFromHdrField(
    char* field, std::uint32_t fieldLen, char* out, std::uint32_t outSize) {
  return hdx::detail::extract_sender(field, fieldLen, out, outSize);
}

extern "C" HDX_EXPORT std::int32_t HDXExtractSenderEmailAddrFromReturnPathHdrField(
    char* field, std::uint32_t fieldLen, char* out, std::uint32_t outSize) {
  return hdx::detail::extract_sender(field, fieldLen, out, outSize);
}
