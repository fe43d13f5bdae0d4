#include <gtest/gtest.h>

#include <string_view>

#include "guarded.h"
#include "hdx.h"

using namespace std::literals;
using hdx_test::GuardedBytes;

namespace {

struct LineEndCase {
  const char* name;
  std::string_view in;
  std::int32_t want;
  std::uint32_t line_len, eol_len;
};

constexpr LineEndCase kLineEnds[] = {
    {"crlf in the middle", "abc\r\ndef"sv, 0, 5, 2},
    {"bare lf", "abc\ndef"sv, 0, 4, 1},
    {"lf first", "\nabc"sv, 0, 1, 1},
    {"crlf alone", "\r\n"sv, 0, 2, 2},
    {"lone cr is no terminator", "a\r"sv, -1, 0, 0},
    {"only the cr next to the lf counts", "x\r\r\n"sv, 0, 4, 2},
    {"cr lf later than a lone cr", "a\rb\r\n"sv, 0, 5, 2},
    {"lf at the very end of a long span", "0123456789abcdefghij\n"sv, 0, 21, 1},
    {"high bytes are not lf", "\x8a\xff\x0a"sv, 0, 3, 1},
};

TEST(LineEnd, Table) {
  for (const auto& c : kLineEnds) {
    SCOPED_TRACE(c.name);
    GuardedBytes buf(c.in);
    std::uint32_t line_len = 77, eol_len = 77;
    ASSERT_EQ(HDXFindEmailLineEnd(buf.data(), buf.len(), &line_len, &eol_len), c.want);
    EXPECT_EQ(line_len, c.want == 0 ? c.line_len : 77u);
    EXPECT_EQ(eol_len, c.want == 0 ? c.eol_len : 77u);
  }
}

// Every alignment and position, so that the word-at-a-time search is checked at each offset
// within a word on both byte orders.
TEST(LineEnd, EveryOffsetAndAlignment) {
  for (std::size_t len = 1; len <= 40; ++len) {
    for (std::size_t at = 0; at < len; ++at) {
      std::string s(len, 'a');
      s[at] = '\n';
      if (at + 1 < len) s[at + 1] = '\n';  // a second LF must not be the one found
      GuardedBytes buf(s);
      std::uint32_t line_len = 0, eol_len = 0;
      ASSERT_EQ(HDXFindEmailLineEnd(buf.data(), buf.len(), &line_len, &eol_len), 0);
      EXPECT_EQ(line_len, at + 1) << "len " << len << " at " << at;
    }
  }
}

}  // namespace
