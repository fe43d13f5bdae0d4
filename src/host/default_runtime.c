/* A host runtime for processes that bring none: the four services mapped onto libc.
 * Linked into executables only, never into libhdx.so, whose T_ names must stay undefined. */
#define _POSIX_C_SOURCE 200809L
#include <string.h>
#include <time.h>

#include "host.h"

void* T_memcpy(void* dst, const void* src, uint32_t n) { return memmove(dst, src, n); }

int T_memcmp(const void* a, const void* b, uint32_t n) { return memcmp(a, b, n); }

time_t T_time(time_t* t) { return time(t); }

/* One record per thread, so that concurrent callers never share the result. */
struct tm* T_localtime(const time_t* t) {
  static _Thread_local struct tm record;
  return localtime_r(t, &record);
}
