// The test host's runtime: the four T_ services, checking what the library asks of them.
#ifndef HDX_TESTS_HOST_SHIM_H
#define HDX_TESTS_HOST_SHIM_H

#include <ctime>

namespace hdx_test {

// What T_time and T_localtime answer; the defaults forward to the C library.
struct Clock {
  bool time_fails = false;
  bool localtime_fails = false;
  bool fixed = false;
  std::time_t now = 0;
};
Clock& clock();

}  // namespace hdx_test

#endif  // HDX_TESTS_HOST_SHIM_H
