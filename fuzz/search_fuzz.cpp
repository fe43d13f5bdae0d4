// HDXSearchPattern against the position-by-position search. The first byte picks the pattern's
// length, the pattern comes next, the span is the rest.
#include "fuzz_input.h"
#include "hdx.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::size_t plen = data[0] % 6 < size - 1 ? data[0] % 6 : size - 1;
  hdx_fuzz::ExactBuffer pattern(data + 1, plen);
  hdx_fuzz::ExactBuffer buf(data + 1 + plen, size - 1 - plen);
  const char* start = nullptr;
  std::uint32_t len = 0;
  const std::int32_t rc =
      HDXSearchPattern(buf.data(), buf.len(), pattern.data(), pattern.len(), &start, &len);
  const auto* b = data + 1 + plen;
  const std::size_t blen = size - 1 - plen;
  for (std::size_t i = 0; plen != 0 && i < blen; ++i) {
    const std::size_t n = blen - i < plen ? blen - i : plen;
    std::size_t k = 0;
    while (k < n && b[i + k] == data[1 + k]) ++k;
    if (k == n) {
      hdx_fuzz::check(rc == (n == plen ? 0 : 16) && start == buf.data() + i && len == n);
      return 0;
    }
  }
  hdx_fuzz::check(rc == -1 && start == nullptr && len == 0);
  return 0;
}
