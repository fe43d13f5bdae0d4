// Shared body of the comment and quoted-string fuzz targets: the token measured from the input's
// first byte against the delimiter-by-delimiter scan, which reads one byte at a time.
#ifndef HDX_FUZZ_TOKEN_FUZZ_H
#define HDX_FUZZ_TOKEN_FUZZ_H

#include "fuzz_input.h"

namespace hdx_fuzz {

using Measure = std::int32_t (*)(const char*, const char*, std::uint32_t*);

// The length by the literal scan: `nests` for comments, whose closer differs from the opener.
inline std::uint32_t scan_token(const std::uint8_t* data, std::size_t size, char open, char close,
                                bool nests) {
  int depth = 1;
  bool escaped = false;
  for (std::size_t i = 1; i < size; ++i) {
    if (escaped) escaped = false;
    else if (data[i] == '\\') escaped = true;
    else if (data[i] == close) --depth;
    else if (nests && data[i] == open) ++depth;
    if (depth == 0) return static_cast<std::uint32_t>(i + 1);
  }
  return 0;
}

inline void fuzz_token(const std::uint8_t* data, std::size_t size, char open, char close,
                       bool nests, Measure measure) {
  if (size == 0) return;
  ExactBuffer buf(data, size);
  std::uint32_t len = 0;
  const std::int32_t rc = measure(buf.data(), buf.data() + size - 1, &len);
  const std::uint32_t want = data[0] == open ? scan_token(data, size, open, close, nests) : 0;
  check(want == 0 ? rc == -1 && len == 0 : rc == 0 && len == want);
}

}  // namespace hdx_fuzz

#endif  // HDX_FUZZ_TOKEN_FUZZ_H
