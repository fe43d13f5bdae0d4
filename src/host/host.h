// The host runtime: four services that the process loading libhdx.so supplies by name.
// The library never defines them; they stay undefined in the shared object and are bound at load.
#ifndef HDX_HOST_H
#define HDX_HOST_H

#include <stdint.h>
#include <time.h>

#ifdef __cplusplus
extern "C" {
#endif

// Must behave as a move when the ranges overlap with dst below src: the library relies on it.
void* T_memcpy(void* dst, const void* src, uint32_t n);
// Only zero versus non-zero is tested.
int T_memcmp(const void* a, const void* b, uint32_t n);
time_t T_time(time_t* t);
// Returns the broken-down local time that strftime takes, or null; the library never frees it.
struct tm* T_localtime(const time_t* t);

#ifdef __cplusplus
}
#endif

#endif  // HDX_HOST_H
