// Positions the fast paths rest on, checked in debug builds (the sanitizer build in CI among
// them): one that does not hold traps at once, where it would otherwise read or write out of
// place. The library imports nothing to report with, so a trap is all it can do.
#ifndef HDX_SCAN_CHECK_H
#define HDX_SCAN_CHECK_H

#ifndef NDEBUG
#define HDX_CHECK(condition) (static_cast<bool>(condition) ? void(0) : __builtin_trap())
#else
#define HDX_CHECK(condition) void(0)
#endif

#endif  // HDX_SCAN_CHECK_H
