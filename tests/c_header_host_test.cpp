#include <gtest/gtest.h>

extern "C" int hdx_c_host_calls(void);

TEST(CHeader, CHostCallsWithoutCasts) { EXPECT_TRUE(hdx_c_host_calls()); }
