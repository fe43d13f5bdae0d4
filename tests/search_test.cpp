#include <gtest/gtest.h>

#include <string_view>

#include "guarded.h"
#include "hdx.h"

using namespace std::literals;
using hdx_test::GuardedBytes;

namespace {

constexpr std::uint32_t kNoMatch = ~0u;

struct SearchCase {
  const char* name;
  std::string_view buf, pattern;
  std::int32_t want;
  std::uint32_t offset, len;
};

constexpr SearchCase kSearches[] = {
    {"full match", "hello world"sv, "wor"sv, 0, 6, 3},
    {"cut off by the end", "hello wo"sv, "world"sv, 16, 6, 2},
    {"one byte left", "abc="sv, "=?"sv, 16, 3, 1},
    {"first candidate fails", "a=b=?c"sv, "=?"sv, 0, 3, 2},
    {"overlapping candidates", "aaab"sv, "ab"sv, 0, 2, 2},
    {"pattern longer than span", "ab"sv, "abc"sv, 16, 0, 2},
    {"full match wins over later partial", "=?x="sv, "=?"sv, 0, 0, 2},
    {"partial that breaks", "ab=x"sv, "=?"sv, -1, kNoMatch, 0},
    {"high bytes unsigned", "a\xe9\xff"sv, "\xe9\xff"sv, 0, 1, 2},
    {"empty span", ""sv, "a"sv, -1, kNoMatch, 0},
    {"empty pattern", "abc"sv, ""sv, -1, kNoMatch, 0},
};

TEST(SearchPattern, Table) {
  for (const auto& c : kSearches) {
    SCOPED_TRACE(c.name);
    GuardedBytes buf(c.buf);
    GuardedBytes pattern(c.pattern);
    const char* start = nullptr;
    std::uint32_t len = 77;
    ASSERT_EQ(HDXSearchPattern(buf.data(), buf.len(), pattern.data(), pattern.len(), &start, &len),
              c.want);
    if (c.want == -1) {
      EXPECT_EQ(start, nullptr);
      EXPECT_EQ(len, 77u);
    } else {
      EXPECT_EQ(start - buf.data(), static_cast<std::ptrdiff_t>(c.offset));
      EXPECT_EQ(len, c.len);
    }
  }
}

// Each input against whether it holds a byte other than a space; the empty one is inverted.
TEST(NotSpacePresent, Table) {
  for (const auto& [in, want] : {std::pair{"   "sv, 0}, {"  a"sv, 1}, {"\t"sv, 1}, {""sv, 0},
                                 {"  \0"sv, 1}}) {
    GuardedBytes buf(in);
    EXPECT_EQ(HDXIsNotSpacePresent(buf.first(), buf.last()), want) << in;
  }
}

using Measure = std::int32_t (*)(const char*, const char*, std::uint32_t*);
constexpr Measure kComment = HDXFindEmailCommentEnd;
constexpr Measure kQuoted = HDXFindEmailQuotedStringEnd;

struct TokenCase {
  const char* name;
  Measure measure;
  std::string_view in;
  std::int32_t want_len;  // -1: the call fails
};

const TokenCase kTokens[] = {
    {"comment", kComment, "(abc)x"sv, 5},
    {"nested comment", kComment, "(a(b)c)x"sv, 7},
    {"escaped close", kComment, "(a\\)b)x"sv, 6},
    {"empty comment", kComment, "()"sv, 2},
    {"quote does not protect", kComment, "(a\"b)\"c)"sv, 5},
    {"unclosed comment", kComment, "(abc"sv, -1},
    {"unclosed nesting", kComment, "((a)"sv, -1},
    {"lone open", kComment, "("sv, -1},
    {"not a comment", kComment, "x(a)"sv, -1},
    {"comment escape at the very end", kComment, "(a\\"sv, -1},
    {"quoted string", kQuoted, "\"abc\"x"sv, 5},
    {"empty string", kQuoted, "\"\""sv, 2},
    {"escaped quote runs on", kQuoted, "\"a\\\"b\"c"sv, 6},
    {"parenthesis means nothing", kQuoted, "\"(a\""sv, 4},
    {"unclosed string", kQuoted, "\"abc"sv, -1},
    {"string escape at the very end", kQuoted, "\"ab\\"sv, -1},
    {"lone quote", kQuoted, "\""sv, -1},
    {"not a quote", kQuoted, "a\"\""sv, -1},
};

TEST(TokenEnd, Table) {
  for (const auto& c : kTokens) {
    SCOPED_TRACE(c.name);
    GuardedBytes buf(c.in);
    std::uint32_t len = 77;
    EXPECT_EQ(c.measure(buf.first(), buf.last(), &len), c.want_len < 0 ? -1 : 0);
    EXPECT_EQ(len, c.want_len < 0 ? 77u : static_cast<std::uint32_t>(c.want_len));
  }
}

// Null pointers, an empty length and an inverted region: the scanning primitives fail, and leave
// the outputs as they were.
TEST(Primitives, BadArguments) {
  const char text[] = "(a)\n";
  std::uint32_t len = 77, eol = 77;
  EXPECT_EQ(HDXFindEmailCommentEnd(nullptr, text + 2, &len), -1);
  EXPECT_EQ(HDXFindEmailQuotedStringEnd(text, nullptr, &len), -1);
  EXPECT_EQ(HDXFindEmailCommentEnd(text, text + 2, nullptr), -1);
  EXPECT_EQ(HDXFindEmailCommentEnd(text + 2, text, &len), -1);
  EXPECT_EQ(HDXFindEmailLineEnd(nullptr, 3, &len, &eol) + HDXFindEmailLineEnd(text, 0, &len, &eol) +
                HDXFindEmailLineEnd(text, 4, nullptr, &eol) +
                HDXFindEmailLineEnd(text, 4, &len, nullptr),
            -4);
  EXPECT_EQ(len + eol, 154u);
  EXPECT_EQ(HDXIsNotSpacePresent(nullptr, nullptr), 0);
}

}  // namespace
