#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string_view>

#include "hdx.h"
#include "host_shim.h"

namespace {

// The test runtime's clock fixed at 02:06:40 UTC on 4 December 2026, in a UTC zone.
class Date : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("TZ", "UTC", 1);
    tzset();
    clock_ = {false, false, true, 1796350000};
  }
  void TearDown() override { clock_ = {}; }
  hdx_test::Clock& clock_ = hdx_test::clock();
};

TEST_F(Date, MailHeaderFormAndSizes) {
  char out[40];
  std::memset(out, '#', sizeof out);
  ASSERT_EQ(HDXEmailGetCurrDateTime(out, sizeof out), 0);
  EXPECT_EQ(std::string_view(out, 32), std::string_view("Fri, 04 Dec 2026 02:06:40 +0000", 32));
  EXPECT_EQ(std::string_view(out + 32, 7), "#######");  // untouched up to the last byte
  EXPECT_EQ(out[39], '\0');
  EXPECT_EQ(HDXEmailGetCurrDateTime(out, 32), 0);  // exact fit
  EXPECT_EQ(HDXEmailGetCurrDateTime(out, 31), -1);
  EXPECT_EQ(HDXEmailGetCurrDateTime(out, 10), -1);
  EXPECT_EQ(HDXEmailGetCurrDateTime(out, 0), -1);
  EXPECT_EQ(HDXEmailGetCurrDateTime(nullptr, 40), -1);
}

TEST_F(Date, RuntimeFailuresLeaveEmptyText) {
  for (const bool time_fails : {true, false}) {
    char out[40] = "previous";
    clock_.time_fails = time_fails;
    clock_.localtime_fails = !time_fails;
    EXPECT_EQ(HDXEmailGetCurrDateTime(out, sizeof out), -1);
    EXPECT_STREQ(out + 1, "revious");
    EXPECT_EQ(out[0], '\0');
  }
}

}  // namespace
