#include <gtest/gtest.h>

#include <string_view>

#include "guarded.h"
#include "hdx.h"

using namespace std::literals;

// Null arguments fail; what a field gives is the shared rows' business.
TEST(Received, NullArguments) {
  hdx_test::GuardedBytes buf("Received: from x (y [192.0.2.1])"sv);
  char* start = nullptr;
  std::uint32_t len = 0;
  EXPECT_EQ(HDXExtractSenderIPFromRcvdHdrField(nullptr, 5, &start, &len), -1);
  EXPECT_EQ(HDXExtractSenderIPFromRcvdHdrField(buf.data(), buf.len(), nullptr, &len), -1);
  EXPECT_EQ(HDXExtractSenderIPFromRcvdHdrField(buf.data(), buf.len(), &start, nullptr), -1);
}
