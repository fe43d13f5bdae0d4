#include <gtest/gtest.h>

#include <string_view>

#include "guarded.h"
#include "hdx.h"

using namespace std::literals;
using hdx_test::GuardedBytes;

namespace {

constexpr std::uint32_t kFail = ~0u;  // want_offset of a field that must give -1

struct ReceivedCase {
  const char* name;
  std::string_view in;
  std::uint32_t want_offset;
  std::string_view want_ip;
};

constexpr ReceivedCase kReceived[] = {
    {"name then bracket", "Received: from mx (mx [10.0.0.1]) by cd"sv, 23, "10.0.0.1"sv},
    {"bracket first in group", "Received: from mx ([10.0.0.1] helo=x) by cd"sv, 20, "10.0.0.1"sv},
    {"blanks inside brackets", "Received: from mx (mx [ 10.0.0.1 ]) by cd"sv, 24, "10.0.0.1"sv},
    {"folded with crlf and tab", "Received: from mx\r\n\t(mx [10.0.0.1])\r\n\tby cd\r\n"sv, 23,
     "10.0.0.1"sv},
    {"no blank after colon", "Received:from x ([10.0.0.1])"sv, 18, "10.0.0.1"sv},
    {"no host name", "Received: from (x [10.0.0.1])"sv, 19, "10.0.0.1"sv},
    {"paren ends the address", "Received: from x (y [10.0.0.1)"sv, 21, "10.0.0.1"sv},
    {"blank ends the address", "Received: from x (y [10.0.0.1 z])"sv, 21, "10.0.0.1"sv},
    {"ipv6 tag kept", "Received: from x (y [IPv6:2001:db8::1])"sv, 21, "IPv6:2001:db8::1"sv},
    {"empty brackets", "Received: from x ([])"sv, 19, ""sv},
    {"from glued to the name", "Received: fromx (y [10.0.0.1])"sv, 20, "10.0.0.1"sv},
    {"lone cr at the end is content", "Received: from x ([1.2.3.4]\r"sv, 19, "1.2.3.4"sv},
    {"capital from", "Received: From x ([10.0.0.1])"sv, kFail, ""sv},
    {"group without bracket", "Received: from [10.0.0.1] (helo=x)"sv, kFail, ""sv},
    {"no group", "Received: from x by y"sv, kFail, ""sv},
    {"only the first group", "Received: from x (y) ([10.0.0.1])"sv, kFail, ""sv},
    {"address cut off", "Received: from x ([10.0.0.1"sv, kFail, ""sv},
    {"nothing after from", "Received: from"sv, kFail, ""sv},
    {"blank after from", "Received: from "sv, kFail, ""sv},
    {"name runs to the end", "Received: from xyz"sv, kFail, ""sv},
    {"empty", ""sv, kFail, ""sv},
    {"only a terminator", "\r\n"sv, kFail, ""sv},
};

TEST(Received, Table) {
  for (const auto& c : kReceived) {
    SCOPED_TRACE(c.name);
    GuardedBytes buf(c.in);
    char* start = nullptr;
    std::uint32_t len = 99;
    const std::int32_t rc = HDXExtractSenderIPFromRcvdHdrField(buf.data(), buf.len(), &start, &len);
    if (c.want_offset == kFail) {
      EXPECT_EQ(rc, -1);
      EXPECT_EQ(start, nullptr);
      EXPECT_EQ(len, 99u);
      continue;
    }
    ASSERT_EQ(rc, 0);
    EXPECT_EQ(start - buf.data(), static_cast<std::ptrdiff_t>(c.want_offset));
    EXPECT_EQ(std::string_view(start, len), c.want_ip);
  }
}

// The caller's buffer is unfolded even when no address is found; null arguments fail.
TEST(Received, FailuresAndTheUnfolding) {
  GuardedBytes buf("Received: from x\r\n by y\r\n"sv);
  char* start = nullptr;
  std::uint32_t len = 0;
  EXPECT_EQ(HDXExtractSenderIPFromRcvdHdrField(buf.data(), buf.len(), &start, &len), -1);
  EXPECT_EQ(buf.str(), "Received: from x by y\r\n\r\n"sv);
  EXPECT_EQ(HDXExtractSenderIPFromRcvdHdrField(nullptr, 5, &start, &len), -1);
  EXPECT_EQ(HDXExtractSenderIPFromRcvdHdrField(buf.data(), buf.len(), nullptr, &len), -1);
  EXPECT_EQ(HDXExtractSenderIPFromRcvdHdrField(buf.data(), buf.len(), &start, nullptr), -1);
}

}  // namespace
