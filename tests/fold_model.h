// The unfolding done literally, fold by fold, each fold moving the rest of the content down.
// Quadratic, and kept short so that it can be checked by eye: the oracle for the real one.
#ifndef HDX_TESTS_FOLD_MODEL_H
#define HDX_TESTS_FOLD_MODEL_H

#include <cstdint>
#include <cstring>
#include <string>

namespace hdx_test {

inline std::uint32_t unfold_by_moves(std::string& buf) {
  std::size_t last = buf.size();  // one past the content
  std::size_t cur = 0;
  for (;;) {
    const std::size_t lf = buf.find('\n', cur);
    if (lf == std::string::npos || lf >= last) break;
    const std::size_t eol = (lf > cur && buf[lf - 1] == '\r') ? 2 : 1;
    const std::size_t next = lf + 1;
    if (next >= last) break;
    if (buf[next] == ' ' || buf[next] == '\t') {
      std::memmove(&buf[next - eol], &buf[next], last - next);
      last -= eol;
      cur = next - eol;
    } else {
      cur = next;
    }
  }
  return static_cast<std::uint32_t>(last);
}

}  // namespace hdx_test

#endif  // HDX_TESTS_FOLD_MODEL_H
