// HDXExtractEmailAddrFromReverseOrForwardPath: the mailbox address of a "MAIL FROM:" or
// "RCPT TO:" path, without brackets or source route, the local part kept exactly as written.
#include <bit>
#include <utility>

#include "extract/at_sign.h"
#include "hdx.h"
#include "host/host.h"
#include "scan/bytes.h"

namespace hdx::detail {
namespace {

// The address inside the command text, or {nullptr, nullptr}. Unlike the header extractors this
// reads only: the caller's command stays as it was.
template <bool kBlocks>
Bytes find_path_address(Bytes text) noexcept {
  constexpr Bytes kNone{nullptr, nullptr};
  const std::uint8_t* const b = text.p;
  const auto end = text.size();
  const std::uint8_t* colon = find_byte(text.p, text.end, ':');
  if (colon == nullptr) return kNone;
  auto p = static_cast<std::uint32_t>(colon - b) + 1;
  while (p < end && b[p] == ' ') ++p;  // spaces only: a tab stays part of the path
  if (p == end) return kNone;
  const bool bracketed = b[p] == '<';
  if (bracketed && ++p == end) return kNone;
  if (b[p] == '@') {  // a source route "@r1,@r2:" comes before the mailbox
    const std::uint8_t* route_end = find_byte(b + p, text.end, ':');
    if (route_end == nullptr) return kNone;
    p = static_cast<std::uint32_t>(route_end - b) + 1;
  }
  // The search does not stop at ">" or a blank: with an empty path the "@" may lie in the
  // command's parameters, and the address then runs on into them.
  const std::uint32_t at = find_at_sign<kBlocks>(b, p, end);
  if (at + 1 >= end) return kNone;
  const std::uint8_t* stop = bracketed ? find_any_above(b, b + at + 1, text.end, ' ', '>')
                                       : find_any_above(b, b + at + 1, text.end, ' ');
  return {b + p, stop == nullptr ? text.end : stop};
}

#if HDX_SHORT_SPANS
// What the masks of a span tell: one of up to 64 bytes (a ShortSpan) or 128 (a MediumSpan) that
// holds the whole command, or, with kWhole false, a ShortSpan of the first 64 bytes of a longer
// one, whose parameters mostly follow the path. That is all of it unless a backslash comes among
// the quotes after the path's start, or, where the span holds only the start, the answer may lie
// past it: a byte looked for is not in the span, or a quoted string is still open at its end. Then
// `known` is false, and the walk above reads the command.
struct MaskedAnswer {
  bool known;
  Bytes address;
};

constexpr MaskedAnswer kNoAddress{true, {nullptr, nullptr}}, kUnknown{false, {nullptr, nullptr}};

// The mailbox from b[p], where the path starts after its "<" and route, from the masks of a span of
// b[0, n).
template <bool kWhole, class Span>
[[gnu::always_inline]] inline MaskedAnswer find_masked_mailbox(const Span& span, Bytes text,
                                                               std::uint32_t n, std::uint32_t p,
                                                               bool bracketed) noexcept {
  using Mask = decltype(span.mask(' '));
  constexpr MaskedAnswer not_in_span = kWhole ? kNoAddress : kUnknown;
  const std::uint8_t* const b = text.p;
  // Mostly no quote comes before the "@", which is then the first of either: the quoted strings
  // matter no further.
  std::uint32_t at = span.first(p, '@', '"');
  if (at >= n) return not_in_span;
  if (b[at] == '"') {
    // Each mask from p on is shifted down to bit 0, not cut at p, so that every compare can be made
    // before p is known.
    const Mask quotes = span.mask('"') >> p;
    if ((span.mask('\\') >> p) != 0 || (!kWhole && odd_count(quotes))) return kUnknown;
    const Mask at_signs = span.mask('@') >> p & ~inside_strings(quotes);
    if (at_signs == 0) return not_in_span;
    at = p + lowest(at_signs);
  }
  const std::uint32_t after = at + 1;
  if (after == n) return not_in_span;
  const Mask stops = (bracketed ? span.mask(' ', '>') : span.mask(' ')) >> after;
  if (stops == 0) return kWhole ? MaskedAnswer{true, {b + p, text.end}} : kUnknown;
  return {true, {b + p, b + after + lowest(stops)}};
}

template <class Span, bool kWhole = true>
[[gnu::always_inline]] inline MaskedAnswer find_masked_path_address(Bytes text) noexcept {
  using Mask = decltype(std::declval<Span>().mask(' '));
  constexpr MaskedAnswer not_in_span = kWhole ? kNoAddress : kUnknown;
  const std::uint32_t n = kWhole ? text.size() : kShortSpanMax;
  const std::uint8_t* const b = text.p;
  const Span span(b, n);
  std::uint32_t p = span.first(0, ':') + 1;
  if (p >= n) return not_in_span;
  // Mostly the path follows the colon, and no mask of spaces is made; the bits from n up are 0.
  if (b[p] == ' ') p += lowest(~(span.mask(' ') >> p));
  if (p == n) return not_in_span;
  const bool bracketed = b[p] == '<';
  if (bracketed && ++p == n) return not_in_span;
  if (b[p] == '@') {  // the source route ends at the next colon
    const Mask route_ends = span.mask(':') >> p;
    if (route_ends == 0) return not_in_span;
    p += lowest(route_ends) + 1;
    if (p == n) return not_in_span;
    if constexpr (!kWhole) {
      // A route makes most long commands long, and puts their mailbox past the first 64 bytes:
      // where the rest fits a span of its own, the mailbox is read from that.
      const Bytes rest{b + p, text.end};
      if (rest.size() < kShortSpanMin || rest.size() > kShortSpanMax) return kUnknown;
      const ShortSpan rest_span(rest.p, rest.size());
      return find_masked_mailbox<true>(rest_span, rest, rest.size(), 0, bracketed);
    }
  }
  return find_masked_mailbox<kWhole>(span, text, n, p, bracketed);
}
#endif

// The address into out, or HDX_FAIL where there is none. Cut silently to fit: the result stays
// HDX_OK, as documented.
std::int32_t put_address(Bytes address, char* out, std::uint32_t outSize) noexcept {
  if (address.p == nullptr) return HDX_FAIL;
  const std::uint32_t n = address.size() < outSize - 1 ? address.size() : outSize - 1;
  T_memcpy(out, address.p, n);
  out[n] = '\0';
  return HDX_OK;
}

// A command that neither a short span nor its first 64 bytes answer: from the masks of two spans
// up to 128 bytes where they answer, else by the walk, which for a command over 512 bytes, hostile,
// may walk its quoted strings a block at a time (within 512, one at a time costs little). Out of
// line, so that the usual command, which a short span answers, pays nothing for the registers of
// these.
template <bool kBlocks>
[[gnu::noinline]] std::int32_t extract_other_path_address(const char* buf, std::uint32_t len,
                                                          char* out,
                                                          std::uint32_t outSize) noexcept {
#if HDX_SHORT_SPANS && defined(__SIZEOF_INT128__)
  if (len >= MediumSpan::kMin && len <= MediumSpan::kMax) {
    const MaskedAnswer answer = find_masked_path_address<MediumSpan>(from_span(buf, len));
    if (answer.known) return put_address(answer.address, out, outSize);
  }
#endif
  return put_address(find_path_address<kBlocks>(from_span(buf, len)), out, outSize);
}

}  // namespace
}  // namespace hdx::detail

extern "C" HDX_EXPORT std::int32_t HDXExtractEmailAddrFromReverseOrForwardPath(
    const char* buf, std::uint32_t bufLen, char* out, std::uint32_t outSize) {
  using namespace hdx::detail;
  if (buf == nullptr || out == nullptr || outSize == 0) return HDX_FAIL;
#if HDX_SHORT_SPANS
  if (bufLen >= kShortSpanMin && bufLen <= kShortSpanMax) {
    const MaskedAnswer answer = find_masked_path_address<ShortSpan>(from_span(buf, bufLen));
    if (answer.known) return put_address(answer.address, out, outSize);
  } else if (bufLen > kShortSpanMax) {
    const MaskedAnswer answer = find_masked_path_address<ShortSpan, false>(from_span(buf, bufLen));
    if (answer.known) return put_address(answer.address, out, outSize);
  }
#endif
  if (bufLen > 512) return extract_other_path_address<true>(buf, bufLen, out, outSize);
  return extract_other_path_address<false>(buf, bufLen, out, outSize);
}
