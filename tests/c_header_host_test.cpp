#include <gtest/gtest.h>

extern "C" int hdx_c_host_finds_ip(void);
extern "C" int hdx_c_host_reads_addresses(void);

TEST(CHeader, CHostCallsWithoutCasts) {
  EXPECT_TRUE(hdx_c_host_finds_ip());
  EXPECT_TRUE(hdx_c_host_reads_addresses());
}
