// The hand-written references; see references.h.
#include "references.h"

#include <cstring>

namespace hdx_bench {
namespace {
bool is_blank(char c) { return c == ' ' || c == '\t'; }
}  // namespace

std::size_t unfold_memchr(char* buf, std::size_t len) {
  const char* const end = buf + len;
  const char* line = buf;     // where the next line-end search starts
  const char* segment = buf;  // the first kept byte not yet moved
  char* w = buf;
  while (const void* found = std::memchr(line, '\n', static_cast<std::size_t>(end - line))) {
    const char* lf = static_cast<const char*>(found);
    if (lf + 1 == end) break;
    if (is_blank(lf[1])) {
      const char* cut = lf > line && lf[-1] == '\r' ? lf - 1 : lf;
      std::memmove(w, segment, static_cast<std::size_t>(cut - segment));
      w += cut - segment;
      segment = lf + 1;
    }
    line = lf + 1;
  }
  std::memmove(w, segment, static_cast<std::size_t>(end - segment));
  return static_cast<std::size_t>(w + (end - segment) - buf);
}

std::size_t unfold_naive(char* buf, std::size_t len) {
  std::size_t w = 0;
  for (std::size_t r = 0; r < len;) {
    if (buf[r] == '\r' && r + 2 < len && buf[r + 1] == '\n' && is_blank(buf[r + 2])) {
      r += 2;
    } else if (buf[r] == '\n' && r + 1 < len && is_blank(buf[r + 1])) {
      r += 1;
    } else {
      buf[w++] = buf[r++];
    }
  }
  return w;
}

bool smtp_path_scan(const char* buf, std::size_t len, char* out, std::size_t out_size) {
  const char* const end = buf + len;
  const char* p = static_cast<const char*>(std::memchr(buf, ':', len));
  if (p == nullptr) return false;
  ++p;
  while (p < end && *p == ' ') ++p;
  const bool bracketed = p < end && *p == '<';
  p += bracketed;
  if (p < end && *p == '@') {
    p = static_cast<const char*>(std::memchr(p, ':', static_cast<std::size_t>(end - p)));
    if (p == nullptr) return false;
    ++p;
  }
  const char* const start = p;
  bool at = false;
  while (p < end && *p != ' ' && !(bracketed && *p == '>')) {
    if (*p == '"') {
      do p += *p == '\\' ? 2 : 1;
      while (p < end && *p != '"');
    }
    at = at || (p < end && *p == '@');
    ++p;
  }
  if (!at) return false;
  std::size_t n = static_cast<std::size_t>((p < end ? p : end) - start);
  if (n >= out_size) n = out_size - 1;
  std::memcpy(out, start, n);
  out[n] = '\0';
  return true;
}

}  // namespace hdx_bench
