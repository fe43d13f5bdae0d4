#include <gtest/gtest.h>

#include <string>

#include "guarded.h"
#include "hdx.h"

using hdx_test::GuardedBytes;

namespace {

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
