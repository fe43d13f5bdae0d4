// The first line terminator of a span: LF, or CR LF when the CR stands right before the LF.
#ifndef HDX_SCAN_LINE_END_H
#define HDX_SCAN_LINE_END_H

#include <cstdint>

#include "scan/bytes.h"

namespace hdx::detail {

struct LineEnd {
  std::uint32_t line_len;  // through the terminator; 0 when the span holds no LF
  std::uint32_t eol_len;   // 1 or 2
};

// A CR counts only when it lies inside the span, so an LF at its first byte is always bare.
inline LineEnd find_line_end(Bytes span) noexcept {
  const std::uint8_t* lf = find_byte(span.p, span.end, '\n');
  if (lf == nullptr) return {0, 0};
  const bool crlf = lf > span.p && lf[-1] == '\r';
  return {static_cast<std::uint32_t>(lf - span.p) + 1, crlf ? 2u : 1u};
}

}  // namespace hdx::detail

#endif  // HDX_SCAN_LINE_END_H
