#include <gtest/gtest.h>

#include <string>

#include "guarded.h"
#include "hdx.h"
#include "outcome.h"

using hdx_test::GuardedBytes;

namespace {

std::string times(int n, const std::string& unit) {
  std::string s;
  while (n-- > 0) s += unit;
  return s;
}

struct PathCase {
  const char* name;
  std::string in;
  std::string want;  // as hdx_test::outcome states it
  std::uint32_t out_size = 64;
};

// What the shared rows cannot say: `out` too small, and commands long enough to be built here.
const PathCase kPaths[] = {
    {"out of one byte", "MAIL FROM:<ab@cd>", "", 1},
    {"cut silently", "MAIL FROM:<ab@cd>", "ab", 3},
    {"exact fit", "MAIL FROM:<ab@cd>", "ab@cd", 6},
    // Over 512 bytes, quoted strings are walked 64 bytes at a time: escapes across a block's edge,
    // a backslash outside a string (which escapes nothing), a string left open after many.
    {"many strings hold at signs", "MAIL FROM:<" + times(180, "\"@\"") + "@cd>",
     times(180, "\"@\"") + "@cd", 600},
    {"escaped quotes over a block edge", "RCPT TO:<\"" + times(270, "\\\"") + "\"@cd>",
     "\"" + times(270, "\\\"") + "\"@cd", 600},
    {"backslash outside the strings",
     "MAIL FROM:<" + times(10, "\"\"") + "\\\"@\"@cd> " + times(500, "x"),
     times(10, "\"\"") + "\\\"@\"@cd", 600},
    {"string left open after many",
     "MAIL FROM:<" + times(10, "\"\"") + "\"a\\\"@cd x@y> " + times(500, "x"),
     times(10, "\"\"") + "\"a\\\"@cd", 600},
};

TEST(SmtpPath, Table) {
  for (const auto& c : kPaths) {
    SCOPED_TRACE(c.name);
    GuardedBytes buf(c.in);
    EXPECT_EQ(hdx_test::outcome(HDXExtractEmailAddrFromReverseOrForwardPath, buf, c.out_size),
              c.want);
    EXPECT_EQ(buf.str(), c.in);  // the command is only read
  }
  char out[4] = "#";
  EXPECT_EQ(HDXExtractEmailAddrFromReverseOrForwardPath("a:b@c", 5, out, 0), -1);
  EXPECT_EQ(HDXExtractEmailAddrFromReverseOrForwardPath(nullptr, 17, out, 4), -1);
  EXPECT_EQ(out[0], '#');
}

}  // namespace
