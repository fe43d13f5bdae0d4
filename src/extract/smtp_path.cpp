// HDXExtractEmailAddrFromReverseOrForwardPath: the mailbox address of a "MAIL FROM:" or
// "RCPT TO:" path, without brackets or source route, the local part kept exactly as written.
#include <bit>

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
// What the masks of a command of up to 64 bytes tell, which is all of it unless the path starts
// with a source route or a double quote comes before the "@": then `known` is false, and the
// walk above reads the command.
struct ShortAnswer {
  bool known;
  Bytes address;
};

[[gnu::always_inline]] inline ShortAnswer find_short_path_address(Bytes text) noexcept {
  constexpr ShortAnswer kNone{true, {nullptr, nullptr}}, kUnknown{false, {nullptr, nullptr}};
  const std::uint8_t* const b = text.p;
  const std::uint32_t n = text.size();
  const ShortSpan span(b, n);
  const std::uint64_t colons = span.mask(':');
  if (colons == 0) return kNone;
  const std::uint64_t spaces = span.mask(' ');
  std::uint32_t p = static_cast<std::uint32_t>(std::countr_zero(colons)) + 1;
  if (p == n) return kNone;
  p += static_cast<std::uint32_t>(std::countr_one(spaces >> p));  // the bits from n up are 0
  if (p == n) return kNone;
  const bool bracketed = b[p] == '<';
  if (bracketed && ++p == n) return kNone;
  if (b[p] == '@') return kUnknown;
  const std::uint64_t at_signs = span.mask('@') >> p;
  if (at_signs == 0) return kNone;  // no "@" at all, inside a quoted string or out
  const std::uint64_t before_at = (at_signs & -at_signs) - 1;
  if ((span.mask('"') >> p & before_at) != 0) return kUnknown;
  const std::uint32_t after = p + static_cast<std::uint32_t>(std::countr_zero(at_signs)) + 1;
  if (after == n) return kNone;
  const std::uint64_t stops = (bracketed ? span.mask(' ', '>') : spaces) >> after;
  return {true, {b + p, stops == 0 ? text.end : b + after + std::countr_zero(stops)}};
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

template <bool kBlocks>
std::int32_t extract_path_address(const char* buf, std::uint32_t len, char* out,
                                  std::uint32_t outSize) noexcept {
  if (buf == nullptr || out == nullptr || outSize == 0) return HDX_FAIL;
#if HDX_SHORT_SPANS
  if (len >= kShortSpanMin && len <= kShortSpanMax) {
    if (const ShortAnswer answer = find_short_path_address(from_span(buf, len)); answer.known) {
      return put_address(answer.address, out, outSize);
    }
  }
#endif
  return put_address(find_path_address<kBlocks>(from_span(buf, len)), out, outSize);
}

[[gnu::noinline]] std::int32_t extract_long_path_address(const char* buf, std::uint32_t len,
                                                         char* out,
                                                         std::uint32_t outSize) noexcept {
  return extract_path_address<true>(buf, len, out, outSize);
}

}  // namespace
}  // namespace hdx::detail

extern "C" HDX_EXPORT std::int32_t HDXExtractEmailAddrFromReverseOrForwardPath(
    const char* buf, std::uint32_t bufLen, char* out, std::uint32_t outSize) {
  using namespace hdx::detail;
  // A command line holds at most 512 bytes, in which quoted strings one at a time cost little.
  // Only a longer one, hostile, may walk them a block at a time, out of line: the walk is a call,
  // and the registers kept across it would cost a command of the usual size 6 instructions more,
  // where this test costs 3 (x86-64 baseline).
  if (bufLen > 512) return extract_long_path_address(buf, bufLen, out, outSize);
  return extract_path_address<false>(buf, bufLen, out, outSize);
}
