// The scanning primitives given what they must refuse; what each gives for text is the shared
// rows' business.
#include <gtest/gtest.h>

#include "hdx.h"

namespace {

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
