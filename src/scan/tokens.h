// Lengths of the two nested-or-escaped header tokens: comments and quoted strings.
#ifndef HDX_SCAN_TOKENS_H
#define HDX_SCAN_TOKENS_H

#include <cstdint>

#include "scan/bytes.h"

namespace hdx::detail {

// The length of the comment that opens at token.p, through its closing ")", or 0 when the span
// ends first. Parentheses nest, a backslash escapes the next byte, and a double quote means
// nothing inside a comment. token.p must hold "(".
inline std::uint32_t comment_len(Bytes token) noexcept {
  std::uint32_t depth = 1;
  for (const std::uint8_t* p = token.p + 1; p < token.end; ++p) {
    if (*p == '\\') {
      if (++p == token.end) break;  // an escape with nothing left to escape
    } else if (*p == '(') {
      ++depth;
    } else if (*p == ')' && --depth == 0) {
      return static_cast<std::uint32_t>(p - token.p) + 1;
    }
  }
  return 0;
}

// The length of the quoted string that opens at token.p, through its closing double quote, or 0
// when the span ends first. A backslash escapes the next byte. token.p must hold a double quote.
inline std::uint32_t quoted_string_len(Bytes token) noexcept {
  for (const std::uint8_t* p = token.p + 1; p < token.end; ++p) {
    if (*p == '\\') {
      if (++p == token.end) break;
    } else if (*p == '"') {
      return static_cast<std::uint32_t>(p - token.p) + 1;
    }
  }
  return 0;
}

}  // namespace hdx::detail

#endif  // HDX_SCAN_TOKENS_H
