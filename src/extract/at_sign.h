// The "@" of an address: the first one outside well-formed quoted strings.
#ifndef HDX_EXTRACT_AT_SIGN_H
#define HDX_EXTRACT_AT_SIGN_H

#include <cstdint>

#include "scan/tokens.h"

namespace hdx::detail {

// Returns the index of the first "@" in [q, end) that no well-formed quoted string holds, or end.
// A double quote that opens no closed string counts as one byte. Once a quoted string fails to
// close, every later one fails too (its scan runs in step with the failed one from its opening
// quote on), so from there on quotes mean nothing and the first "@" is the one: that keeps the
// search linear.
inline std::uint32_t find_at_sign(const std::uint8_t* b, std::uint32_t q,
                                  std::uint32_t end) noexcept {
  while (const std::uint8_t* next = find_any(b + q, b + end, '@', '"')) {
    q = static_cast<std::uint32_t>(next - b);
    if (*next == '@') return q;
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
