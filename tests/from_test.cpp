#include <gtest/gtest.h>

#include <random>
#include <string>
#include <string_view>

#include "cut_model.h"
#include "guarded.h"
#include "hdx.h"

using namespace std::literals;
using hdx_test::GuardedBytes;

namespace {

constexpr std::string_view kFails = "\x01"sv;  // want of a field that gives -1 and an empty out

struct FromCase {
  const char* name;
  std::string_view in;
  std::string_view want;  // the text in out; for a -1 after writing, the text then prefixed "!"
};

constexpr FromCase kFrom[] = {
    {"display name and brackets", "From: Ab Cd <ab@cd>"sv, "ab@cd"sv},
    {"trailing comment and crlf", "From: ab@cd (Ab Cd)\r\n"sv, "ab@cd"sv},
    {"quoted name holds an at sign", "From: \"a@b\" <ab@cd>"sv, "ab@cd"sv},
    {"blanks around the at sign", "From: ab @ cd"sv, "ab@cd"sv},
    {"blank after the at sign", "From: ab@ cd"sv, "ab@cd"sv},
    {"comma ends the domain", "From: ab@cd, ef@gh"sv, "ab@cd"sv},
    {"bracket ends the domain", "From: <ab@cd> , ef"sv, "ab@cd"sv},
    {"encoded word", "From: =?utf-8?Q?xyz?= <ab@cd>"sv, "ab@cd"sv},
    {"comment inside the address", "From: ab(x)@cd"sv, "ab@cd"sv},
    {"nested comments", "From: a(b(c)d)b@(x)cd"sv, "ab@cd"sv},
    {"quoted local part", "From: \"ab cd\"@ef"sv, "cd@ef"sv},
    {"domain literal", "From: ab@[ x1 ]"sv, "ab@x1"sv},
    {"empty domain literal", "From: ab@[]"sv, "ab@"sv},
    {"empty domain", "From: ab@>"sv, "ab@"sv},
    {"unfolded blank ends the domain", "From: ab@c\r\n d"sv, "ab@c"sv},
    {"folded display name", "From: Ab\r\n Cd\r\n <ab@cd>\r\n"sv, "ab@cd"sv},
    {"return path through from", "Return-Path: <ab@cd>"sv, "ab@cd"sv},
    {"return path name in the region", "Return-Path:ab@cd"sv, "n-Path:ab@cd"sv},
    {"escaped paren is no comment", "From: a\\(b@cd"sv, "a\\(b@cd"sv},
    {"unclosed quote is one byte", "From: \"ab@cd"sv, "ab@cd"sv},
    {"bare lone cr is content", "From: ab@cd\r"sv, "ab@cd\r"sv},
    {"unclosed comment", "From: (comment <ab@cd>"sv, kFails},
    {"unbalanced paren in quoted name", "From: \"a(b\" <ab@cd>"sv, kFails},
    {"one byte local part", "From: a@cd"sv, kFails},
    {"bracket before at", "From: <@cd>"sv, kFails},
    {"at first", "From: @ab"sv, kFails},
    {"lt right before at", "From: ab<@cd"sv, kFails},
    {"no at", "From: xyz"sv, kFails},
    {"only blanks", "From:   \t"sv, kFails},
    {"too short", "From"sv, kFails},
    {"comment fills the region", "From: (x)"sv, kFails},
    {"encoded word fills the region", "From: =?a?="sv, kFails},
    {"at inside a quoted string only", "From: \"a@b\""sv, kFails},
    {"quoted local part ending in a blank", "From: \"ab \"@cd"sv, kFails},
    {"unclosed literal", "From: ab@[x1"sv, "!ab@"sv},
    {"nothing after the at", "From: ab@\r\n"sv, "!ab@"sv},
    {"only blanks after the at", "From: ab@  "sv, "!ab@"sv},
};

TEST(FromField, Table) {
  for (const auto& c : kFrom) {
    SCOPED_TRACE(c.name);
    GuardedBytes buf(c.in);
    char out[64];
    std::memset(out, '#', sizeof out);
    const std::int32_t rc =
        HDXExtractSenderEmailAddrFromFromHdrField(buf.data(), buf.len(), out, sizeof out);
    if (c.want == kFails) {
      EXPECT_EQ(rc, -1);
      EXPECT_EQ(out[0], '#');
    } else if (c.want[0] == '!') {
      EXPECT_EQ(rc, -1);
      EXPECT_EQ(std::string_view(out), c.want.substr(1));
    } else {
      EXPECT_EQ(rc, 0);
      EXPECT_EQ(std::string_view(out), c.want);
    }
  }
}

TEST(FromField, OutputSizes) {
  struct SizeCase {
    std::uint32_t size;
    std::int32_t want;
    std::string_view text;
  };
  for (const SizeCase c : {SizeCase{1, -1, ""sv}, {4, -1, "abc"sv}, {5, -1, "abc@"sv},
                           {6, 0, "abc@d"sv}, {8, 0, "abc@def"sv}, {10, 0, "abc@defgh"sv}}) {
    SCOPED_TRACE(c.size);
    std::string field = "From: abc@defgh";
    std::string out(c.size + 4, '#');
    EXPECT_EQ(HDXExtractSenderEmailAddrFromFromHdrField(field.data(), 15, out.data(), c.size),
              c.want);
    EXPECT_EQ(std::string_view(out.data()), c.text);
    EXPECT_EQ(out.substr(c.size), "####");  // nothing written past outSize
  }
}

// The cuts leave the region's old last bytes behind; the terminator after it is not touched.
TEST(FromField, FieldAfterCuts) {
  struct AfterCase {
    std::string_view in, after;
  };
  for (const AfterCase c : {AfterCase{"From: ab(x)@cd\r\n"sv, "From: ab@cd@cd\r\n"sv},
                            {"From: =?a?b?= <ab@cd>\n"sv, "From:  <ab@cd><ab@cd>\n"sv},
                            {"From: (unclosed) (x\r\n"sv, "From:  (xclosed) (x\r\n"sv}}) {
    GuardedBytes buf(c.in);
    char out[32];
    HDXExtractSenderEmailAddrFromFromHdrField(buf.data(), buf.len(), out, sizeof out);
    EXPECT_EQ(buf.str(), c.after);
  }
}

TEST(FromField, BadArguments) {
  std::string field = "From: ab@cd";
  char out[8] = "#";
  EXPECT_EQ(HDXExtractSenderEmailAddrFromFromHdrField(nullptr, 11, out, 8), -1);
  EXPECT_EQ(HDXExtractSenderEmailAddrFromFromHdrField(field.data(), 11, nullptr, 8), -1);
  EXPECT_EQ(HDXExtractSenderEmailAddrFromFromHdrField(field.data(), 11, out, 0), -1);
  EXPECT_EQ(out[0], '#');
  EXPECT_EQ(field, "From: ab@cd");
}

// Random fields of the bytes the extractor cares about, against the one-cut-at-a-time model:
// the whole field afterwards must match, through every kind of failure, and any output must be
// terminated inside outSize.
std::string random_field(std::mt19937& rng, std::size_t len) {
  static constexpr std::string_view kBytes = "ab@()\\\"=?<>[], \t\r\n=?(()"sv;
  std::string f = "From: ";
  for (std::size_t i = 0; i < len; ++i) f += kBytes[rng() % kBytes.size()];
  return f;
}

TEST(FromField, MatchesOneCutAtATime) {
  std::mt19937 rng(3101);
  for (int round = 0; round < 6000; ++round) {
    const std::string in = random_field(rng, round < 5000 ? rng() % 40 : rng() % 3000);
    const std::string want = hdx_test::from_field_after_cuts(in);
    GuardedBytes buf(in);
    const auto size = static_cast<std::uint32_t>(1 + rng() % 12);
    std::string out(size + 1, '#');
    HDXExtractSenderEmailAddrFromReturnPathHdrField(buf.data(), buf.len(), out.data(), size);
    ASSERT_EQ(buf.str(), want) << "round " << round << " field " << in;
    ASSERT_EQ(out[size], '#');
    if (out[0] != '#') {
      ASSERT_LT(out.find('\0'), size);  // written: terminated inside outSize
    }
  }
}

// Thousands of cuts of mixed lengths, one of them far longer than the rest, at each end.
TEST(FromField, ManyCutsMatchModel) {
  std::string many;
  for (int i = 0; i < 3000; ++i) many += i % 7 ? "(c)" : "=?q?x?=(\\)(y))";
  const std::string longest = "(" + std::string(5000, 'z') + ")";
  for (const std::string& body : {many + "ab@cd", longest + many + "ab@cd",
                                  "ab@cd" + many + longest, many + longest + many + "(x"}) {
    const std::string in = "From: " + body + "\r\n";
    const std::string want = hdx_test::from_field_after_cuts(in);
    GuardedBytes buf(in);
    char out[16];
    HDXExtractSenderEmailAddrFromFromHdrField(buf.data(), buf.len(), out, sizeof out);
    EXPECT_EQ(buf.str(), want);
  }
}

}  // namespace
