#include <gtest/gtest.h>

#include <random>
#include <string>
#include <string_view>

#include "cut_model.h"
#include "guarded.h"
#include "hdx.h"
#include "outcome.h"

using namespace std::literals;
using hdx_test::GuardedBytes;

namespace {

struct FromCase {
  const char* name;
  std::string_view in;
  std::string_view want;  // as hdx_test::outcome states it
  std::uint32_t out_size = 64;
  std::string_view after = {};  // the whole field afterwards, when the row checks it
};

const FromCase kFrom[] = {
    {"display name and brackets", "From: Ab Cd <ab@cd>", "ab@cd"},
    {"trailing comment and crlf", "From: ab@cd (Ab Cd)\r\n", "ab@cd"},
    {"quoted name holds an at sign", "From: \"a@b\" <ab@cd>", "ab@cd"},
    {"blanks around the at sign", "From: ab @ cd", "ab@cd"},
    {"comma ends the domain", "From: ab@cd, ef@gh", "ab@cd"},
    {"bracket ends the domain", "From: <ab@cd> , ef", "ab@cd"},
    {"encoded word leaves the region's tail", "From: =?a?b?= <ab@cd>\n", "ab@cd", 64,
     "From:  <ab@cd><ab@cd>\n"},
    {"comment leaves the region's tail", "From: ab(x)@cd\r\n", "ab@cd", 64, "From: ab@cd@cd\r\n"},
    {"nested comments", "From: a(b(c)d)b@(x)cd", "ab@cd"},
    {"quoted local part", "From: \"ab cd\"@ef", "cd@ef"},
    {"domain literal", "From: ab@[ x1 ]", "ab@x1"},
    {"empty domain literal", "From: ab@[]", "ab@"},
    {"empty domain", "From: ab@>", "ab@"},
    {"unfolded blank ends the domain", "From: ab@c\r\n d", "ab@c"},
    {"folded display name", "From: Ab\r\n Cd\r\n <ab@cd>\r\n", "ab@cd"},
    {"return path name stays in the region", "Return-Path:ab@cd", "n-Path:ab@cd"},
    {"escaped paren is no comment", "From: a\\(b@cd", "a\\(b@cd"},
    {"unclosed quote is one byte", "From: \"ab@cd", "ab@cd"},
    {"unclosed comment keeps earlier cuts", "From: (unclosed) (x\r\n", "-", 64,
     "From:  (xclosed) (x\r\n"},
    {"unbalanced paren in quoted name", "From: \"a(b\" <ab@cd>", "-"},
    {"one byte local part", "From: a@cd", "-"},
    {"lt right before at", "From: ab<@cd", "-"},
    {"empty local part in brackets", "From: <@cd>", "-"},
    {"at first", "From: @ab", "-"},
    {"no at", "From: xyz", "-"},
    {"only blanks", "From:   \t", "-"},
    {"too short", "From", "-"},
    {"encoded word fills the region", "From: =?a?=", "-"},
    {"quoted local part ending in a blank", "From: \"ab \"@cd", "-"},
    {"unclosed literal", "From: ab@[x1", "!ab@"},
    {"nothing after the at", "From: ab@\r\n", "!ab@"},
    {"out of one byte", "From: abc@defgh", "!", 1},
    {"local part fills out", "From: abc@defgh", "!abc", 4},
    {"at sign fills out", "From: abc@defgh", "!abc@", 5},
    {"domain cut to fit", "From: abc@defgh", "abc@d", 6},
    {"exact fit", "From: abc@defgh", "abc@defgh", 10},
};

TEST(FromField, Table) {
  for (const auto& c : kFrom) {
    SCOPED_TRACE(c.name);
    GuardedBytes buf(c.in);
    EXPECT_EQ(hdx_test::outcome(HDXExtractSenderEmailAddrFromFromHdrField, buf, c.out_size),
              c.want);
    if (!c.after.empty()) {
      EXPECT_EQ(buf.str(), c.after);
    }
  }
  char out[4] = "#";
  EXPECT_EQ(HDXExtractSenderEmailAddrFromFromHdrField(nullptr, 11, out, 4), -1);
  EXPECT_EQ(HDXExtractSenderEmailAddrFromFromHdrField(out, 1, out, 0), -1);
  EXPECT_EQ(out[0], '#');
}

// Random fields of the bytes the extractor cares about, and thousands of cuts with one far longer
// than the rest at either end, against the one-cut-at-a-time model of the whole field.
TEST(FromField, MatchesOneCutAtATime) {
  std::mt19937 rng(3101);
  constexpr std::string_view kBytes = "ab@()\\\"=?<>[], \t\r\n=?(()";
  std::string many;
  for (int i = 0; i < 3000; ++i) many += i % 7 ? "(c)" : "=?q?x?=(\\)(y))";
  const std::string longest = "(" + std::string(5000, 'z') + ")";
  for (int round = 0; round < 6004; ++round) {
    std::string in = "From: ";
    if (round < 6000) {
      for (std::size_t n = round < 5000 ? rng() % 40 : rng() % 3000; n > 0; --n) {
        in += kBytes[rng() % kBytes.size()];
      }
    } else {
      const std::string bodies[] = {many + "ab@cd", longest + many + "ab@cd",
                                    "ab@cd" + many + longest, many + longest + many + "(x"};
      in += bodies[round - 6000] + "\r\n";
    }
    GuardedBytes buf(in);
    hdx_test::outcome(HDXExtractSenderEmailAddrFromReturnPathHdrField, buf,
                      static_cast<std::uint32_t>(1 + rng() % 12));
    ASSERT_EQ(buf.str(), hdx_test::from_field_after_cuts(in)) << "round " << round;
  }
}

}  // namespace
