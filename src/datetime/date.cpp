// HDXEmailGetCurrDateTime: the current local date and time in the form mail headers use.
#include <time.h>

#include <cstdint>

#include "hdx.h"
#include "host/host.h"

extern "C" HDX_EXPORT std::int32_t HDXEmailGetCurrDateTime(char* out, std::uint32_t outSize) {
  if (out == nullptr || outSize == 0) return HDX_FAIL;
  out[0] = '\0';  // every later failure leaves an empty text
  time_t now = 0;
  if (T_time(&now) == static_cast<time_t>(-1)) return HDX_FAIL;
  // The record belongs to the host runtime; it is only passed on, never kept or freed.
  const struct tm* local = T_localtime(&now);
  if (local == nullptr) return HDX_FAIL;
  if (strftime(out, outSize, "%a, %d %b %Y %H:%M:%S %z", local) == 0) return HDX_FAIL;
  out[outSize - 1] = '\0';
  return HDX_OK;
}
