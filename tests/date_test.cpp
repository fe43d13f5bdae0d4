#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string_view>

#include "hdx.h"
#include "host_shim.h"

namespace {

// Fixes the test runtime's clock at 02:06:40 UTC on 4 December 2026, in a UTC zone.
class Date : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("TZ", "UTC", 1);
    tzset();
    clock_ = hdx_test::Clock{};
    clock_.fixed = true;
    clock_.now = 1796350000;
  }
  void TearDown() override { clock_ = hdx_test::Clock{}; }
  hdx_test::Clock& clock_ = hdx_test::clock();
};

TEST_F(Date, MailHeaderFormInUtc) {
  char out[40];
  std::memset(out, '#', sizeof out);
  ASSERT_EQ(HDXEmailGetCurrDateTime(out, sizeof out), 0);
  EXPECT_EQ(std::string_view(out, 32), std::string_view("Fri, 04 Dec 2026 02:06:40 +0000", 32));
  EXPECT_EQ(std::string_view(out + 32, 7), "#######");  // untouched between text and the end
  EXPECT_EQ(out[39], '\0');
}

TEST_F(Date, ExactFitAndTooSmall) {
  char out[32];
  EXPECT_EQ(HDXEmailGetCurrDateTime(out, 32), 0);
  EXPECT_STREQ(out, "Fri, 04 Dec 2026 02:06:40 +0000");
  EXPECT_EQ(HDXEmailGetCurrDateTime(out, 31), -1);
  EXPECT_EQ(HDXEmailGetCurrDateTime(out, 10), -1);
}

TEST_F(Date, RuntimeFailuresLeaveEmptyText) {
  char out[40] = "previous";
  clock_.time_fails = true;
  EXPECT_EQ(HDXEmailGetCurrDateTime(out, sizeof out), -1);
  EXPECT_EQ(out[0], '\0');
  EXPECT_STREQ(out + 1, "revious");
  clock_.time_fails = false;
  clock_.localtime_fails = true;
  std::strcpy(out, "previous");
  EXPECT_EQ(HDXEmailGetCurrDateTime(out, sizeof out), -1);
  EXPECT_EQ(out[0], '\0');
}

TEST_F(Date, NoBufferNoWrite) {
  char out[4] = "abc";
  EXPECT_EQ(HDXEmailGetCurrDateTime(out, 0), -1);
  EXPECT_STREQ(out, "abc");
  EXPECT_EQ(HDXEmailGetCurrDateTime(nullptr, 40), -1);
}

}  // namespace
