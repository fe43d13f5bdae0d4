// The "@" of an address: the first one outside well-formed quoted strings.
#ifndef HDX_EXTRACT_AT_SIGN_H
#define HDX_EXTRACT_AT_SIGN_H

#include <cstdint>

#include "scan/tokens.h"

namespace hdx::detail {

// Returns the index of the first "@" in [q, end) that no well-formed quoted string holds, or end.
// A double quote that opens no closed string counts as one byte. Once a quoted string fails to
// close, every later one fails too (its scan runs in step with the failed one from its opening
// quote on), so later quotes are not measured again: that keeps the search linear.
inline std::uint32_t find_at_sign(const std::uint8_t* b, std::uint32_t q,
                                  std::uint32_t end) noexcept {
  bool quotes_close = true;
  while (q < end && b[q] != '@') {
    std::uint32_t len = 0;
    if (b[q] == '"' && quotes_close) {
      len = quoted_string_len({b + q, b + end});
      quotes_close = len != 0;
    }
    q += len != 0 ? len : 1;
  }
  return q;
}

}  // namespace hdx::detail

#endif  // HDX_EXTRACT_AT_SIGN_H
