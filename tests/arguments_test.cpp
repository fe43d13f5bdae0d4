// What the shared rows cannot say: calls that must be refused, the bytes a failure leaves in
// `out`, `out` too small, and SMTP commands long enough to be built here.
#include <gtest/gtest.h>

#include <string>

#include "guarded.h"
#include "hdx.h"
#include "outcome.h"

namespace {

// Null pointers, an empty length, an inverted region, no room for the terminator: each call is
// refused although the text would give a result, and every output stays as it was.
TEST(Arguments, RefusedWithOutputsUntouched) {
  char comment[] = "(a)", field[] = "From: a@b", rcvd[] = "Received: from x (y [192.0.2.1])";
  char out[4] = "#";
  char* ip = nullptr;
  std::uint32_t len = 77, eol = 77;
  const char* last = comment + 2;
  const std::int32_t refused[] = {
      HDXFindEmailCommentEnd(nullptr, last, &len),
      HDXFindEmailQuotedStringEnd(comment, nullptr, &len),
      HDXFindEmailCommentEnd(comment, last, nullptr),
      HDXFindEmailCommentEnd(last, comment, &len),
      HDXFindEmailLineEnd(nullptr, 3, &len, &eol),
      HDXFindEmailLineEnd("a\n", 0, &len, &eol),
      HDXFindEmailLineEnd("a\n", 2, nullptr, &eol),
      HDXFindEmailLineEnd("a\n", 2, &len, nullptr),
      HDXExtractSenderIPFromRcvdHdrField(nullptr, 5, &ip, &len),
      HDXExtractSenderIPFromRcvdHdrField(rcvd, sizeof rcvd - 1, nullptr, &len),
      HDXExtractSenderIPFromRcvdHdrField(rcvd, sizeof rcvd - 1, &ip, nullptr),
      HDXExtractSenderEmailAddrFromFromHdrField(nullptr, 11, out, 4),
      HDXExtractSenderEmailAddrFromFromHdrField(field, sizeof field - 1, out, 0),
      HDXExtractEmailAddrFromReverseOrForwardPath("a:b@c", 5, out, 0),
      HDXExtractEmailAddrFromReverseOrForwardPath(nullptr, 17, out, 4),
  };
  for (const std::int32_t rc : refused) EXPECT_EQ(rc, HDX_FAIL);
  EXPECT_TRUE(len == 77 && eol == 77 && ip == nullptr && out[0] == '#');
  EXPECT_EQ(HDXIsNotSpacePresent(nullptr, nullptr), 0);
  EXPECT_EQ(HDXUnfoldEmailHdrLine(nullptr, 42), 42u);
}

std::string times(int n, const std::string& unit) {
  std::string s;
  while (n-- > 0) s += unit;
  return s;
}

struct Row {
  const char* name;
  bool path;             // an SMTP command, else a From field
  std::string in, want;  // want: as hdx_test::outcome states it
  std::uint32_t out_size = 64;
};

const Row kRows[] = {
    {"unclosed literal", false, "From: ab@[x1", "!ab@"},
    {"nothing after the at", false, "From: ab@\r\n", "!ab@"},
    {"out of one byte", false, "From: abc@defgh", "!", 1},
    {"local part fills out", false, "From: abc@defgh", "!abc", 4},
    {"at sign fills out", false, "From: abc@defgh", "!abc@", 5},
    {"domain cut to fit", false, "From: abc@defgh", "abc@d", 6},
    {"exact fit", false, "From: abc@defgh", "abc@defgh", 10},
    {"path out of one byte", true, "MAIL FROM:<ab@cd>", "", 1},
    {"path cut silently", true, "MAIL FROM:<ab@cd>", "ab", 3},
    {"path exact fit", true, "MAIL FROM:<ab@cd>", "ab@cd", 6},
    // Over 512 bytes, quoted strings are walked 64 bytes at a time: escapes across a block's edge,
    // a backslash outside a string (which escapes nothing), a string left open after many.
    {"many strings hold at signs", true, "MAIL FROM:<" + times(180, "\"@\"") + "@cd>",
     times(180, "\"@\"") + "@cd", 600},
    {"escaped quotes over a block edge", true, "RCPT TO:<\"" + times(270, "\\\"") + "\"@cd>",
     "\"" + times(270, "\\\"") + "\"@cd", 600},
    {"backslash outside the strings", true,
     "MAIL FROM:<" + times(10, "\"\"") + "\\\"@\"@cd> " + times(500, "x"),
     times(10, "\"\"") + "\\\"@\"@cd", 600},
    {"string left open after many", true,
     "MAIL FROM:<" + times(10, "\"\"") + "\"a\\\"@cd x@y> " + times(500, "x"),
     times(10, "\"\"") + "\"a\\\"@cd", 600},
};

TEST(Arguments, OutcomesTheRowsCannotState) {
  for (const Row& r : kRows) {
    SCOPED_TRACE(r.name);
    hdx_test::GuardedBytes buf(r.in);
    EXPECT_EQ(r.path ? hdx_test::outcome(HDXExtractEmailAddrFromReverseOrForwardPath, buf, r.out_size)
                     : hdx_test::outcome(HDXExtractSenderEmailAddrFromFromHdrField, buf, r.out_size),
              r.want);
    if (r.path) {
      EXPECT_EQ(buf.str(), r.in);  // a command is only read
    }
  }
}

}  // namespace
