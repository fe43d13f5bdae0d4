// The From extractor's in-place steps done literally, one cut at a time: unfold, set the
// terminator aside, pass over the name, cut comments, cut encoded words. Quadratic, and short
// enough to check by eye: the oracle for the field's bytes after the real extractor.
#ifndef HDX_TESTS_CUT_MODEL_H
#define HDX_TESTS_CUT_MODEL_H

#include <cstring>
#include <string>

#include "fold_model.h"

namespace hdx_test {

inline bool blank(char c) { return c == ' ' || c == '\t'; }

// A comment's length, or 0, as the step-by-step scan measures it.
inline std::size_t comment_length(const std::string& f, std::size_t p, std::size_t end) {
  int depth = 1;
  bool escaped = false;
  for (std::size_t i = p + 1; i < end; ++i) {
    if (escaped) escaped = false;
    else if (f[i] == ')') --depth;
    else if (f[i] == '\\') escaped = true;
    else if (f[i] == '(') ++depth;
    if (depth == 0) return i - p + 1;
  }
  return 0;
}

inline void cut(std::string& f, std::size_t at, std::size_t len, std::size_t& end) {
  std::memmove(&f[at], &f[at + len], end - at - len);
  end -= len;
}

inline std::string from_field_after_cuts(std::string f) {
  std::size_t end = unfold_by_moves(f);
  if (end > 0 && f[end - 1] == '\n' && --end > 0 && f[end - 1] == '\r') --end;
  std::size_t start = 5;
  if (end <= start) return f;
  while (start < end && blank(f[start])) ++start;
  for (std::size_t p = start; p < end;) {
    if (f[p] == '(') {
      const std::size_t len = comment_length(f, p, end);
      if (len == 0) return f;
      cut(f, p, len, end);
    } else {
      p += f[p] == '\\' ? 2 : 1;
    }
  }
  for (std::size_t p = start; p < end;) {
    const std::size_t open = f.find("=?", p);
    if (open == std::string::npos || open + 2 > end) break;
    const std::size_t close = f.find("?=", open + 2);
    if (close == std::string::npos || close + 2 > end) break;
    cut(f, open, close + 2 - open, end);
    p = open;
  }
  return f;
}

}  // namespace hdx_test

#endif  // HDX_TESTS_CUT_MODEL_H
