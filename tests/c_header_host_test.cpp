#include <gtest/gtest.h>

extern "C" int hdx_c_host_finds_ip(void);

TEST(CHeader, CHostCallsWithoutCasts) { EXPECT_TRUE(hdx_c_host_finds_ip()); }
