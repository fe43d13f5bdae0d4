// Helpers shared by the header-field extractors.
#ifndef HDX_EXTRACT_FIELD_H
#define HDX_EXTRACT_FIELD_H

#include <cstdint>

#include "scan/bytes.h"

namespace hdx::detail {

// The first `len` bytes of an unfolded field without its final LF or CR LF. A CR with no LF
// after it is content, since a lone CR ends no line.
inline Bytes field_content(const std::uint8_t* field, std::uint32_t len) noexcept {
  const std::uint8_t* end = field + len;
  if (end > field && end[-1] == '\n') {
    --end;
    if (end > field && end[-1] == '\r') --end;
  }
  return {field, end};
}

// Returns the first byte in [p, end) that is not a blank, or end.
inline const std::uint8_t* skip_blanks(const std::uint8_t* p, const std::uint8_t* end) noexcept {
  while (p < end && is_blank(*p)) ++p;
  return p;
}

}  // namespace hdx::detail

#endif  // HDX_EXTRACT_FIELD_H
