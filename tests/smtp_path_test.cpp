#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "guarded.h"
#include "hdx.h"

using namespace std::literals;
using hdx_test::GuardedBytes;

namespace {

constexpr std::string_view kFails = "\x01"sv;

struct PathCase {
  const char* name;
  std::string_view in;
  std::string_view want;
};

constexpr PathCase kPaths[] = {
    {"bracketed", "MAIL FROM:<ab@cd>"sv, "ab@cd"sv},
    {"space after colon", "MAIL FROM: <ab@cd>"sv, "ab@cd"sv},
    {"parameters after", "MAIL FROM:<ab@cd> SIZE=1000"sv, "ab@cd"sv},
    {"unclosed bracket", "MAIL FROM:<ab@cd"sv, "ab@cd"sv},
    {"unbracketed ends at a space", "MAIL FROM:  ab@cd SIZE=10"sv, "ab@cd"sv},
    {"source route", "RCPT TO:<@r1,@r2:ab@cd>"sv, "ab@cd"sv},
    {"quoted local part with space", "RCPT TO:<\"a b\"@cd>"sv, "\"a b\"@cd"sv},
    {"quoted local part with at", "RCPT TO:<\"a@b\"@cd>"sv, "\"a@b\"@cd"sv},
    {"empty path runs into parameters", "MAIL FROM:<> AUTH=ab@cd"sv, "> AUTH=ab@cd"sv},
    {"empty domain", "MAIL FROM:<ab@>"sv, "ab@"sv},
    {"tab is not skipped", "MAIL FROM:\t<ab@cd>"sv, "\t<ab@cd>"sv},
    {"crlf does not end it", "MAIL FROM:ab@cd\r\n"sv, "ab@cd\r\n"sv},
    {"only the first colon", "::ab@cd"sv, ":ab@cd"sv},
    {"unclosed quote is one byte", "MAIL FROM:<\"ab@cd>"sv, "\"ab@cd"sv},
    {"empty path", "MAIL FROM:<>"sv, kFails},
    {"nothing after the at", "MAIL FROM:<ab@"sv, kFails},
    {"no colon", "MAIL FROM <ab@cd>"sv, kFails},
    {"nothing after the colon", "MAIL FROM:"sv, kFails},
    {"only spaces after the colon", "MAIL FROM:   "sv, kFails},
    {"only a bracket", "MAIL FROM:<"sv, kFails},
    {"route without colon", "RCPT TO:<@r1,@r2"sv, kFails},
    {"empty", ""sv, kFails},
};

TEST(SmtpPath, Table) {
  for (const auto& c : kPaths) {
    SCOPED_TRACE(c.name);
    GuardedBytes buf(c.in);
    char out[64];
    std::memset(out, '#', sizeof out);
    const std::int32_t rc =
        HDXExtractEmailAddrFromReverseOrForwardPath(buf.data(), buf.len(), out, sizeof out);
    if (c.want == kFails) {
      EXPECT_EQ(rc, -1);
      EXPECT_EQ(out[0], '#');  // out is written only on success
    } else {
      EXPECT_EQ(rc, 0);
      EXPECT_EQ(std::string_view(out), c.want);
    }
    EXPECT_EQ(buf.str(), c.in);  // the command is only read
  }
}

TEST(SmtpPath, TruncatesSilently) {
  for (std::uint32_t size : {1u, 3u, 5u, 6u, 7u}) {
    SCOPED_TRACE(size);
    std::string out(size + 2, '#');
    EXPECT_EQ(HDXExtractEmailAddrFromReverseOrForwardPath("MAIL FROM:<ab@cd>", 17, out.data(), size),
              0);
    EXPECT_EQ(std::string_view(out.data()), "ab@cd"sv.substr(0, size - 1));
    EXPECT_EQ(out.substr(size), "##");
  }
  char out[4] = "##";
  EXPECT_EQ(HDXExtractEmailAddrFromReverseOrForwardPath("MAIL FROM:<ab@cd>", 17, out, 0), -1);
  EXPECT_EQ(HDXExtractEmailAddrFromReverseOrForwardPath(nullptr, 17, out, 4), -1);
  EXPECT_EQ(HDXExtractEmailAddrFromReverseOrForwardPath("a:b@c", 5, nullptr, 4), -1);
}

}  // namespace
