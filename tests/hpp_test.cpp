// The C++ interface: the same results as the C functions, in its own types.
#include <gtest/gtest.h>

#include <string>

#include "hdx.hpp"

using namespace std::literals;

namespace {

TEST(Cpp, ScanningPrimitives) {
  const auto end = hdx::find_line_end("abc\r\ndef");
  ASSERT_TRUE(end);
  EXPECT_EQ(end->line_length, 5u);
  EXPECT_EQ(end->terminator_length, 2u);
  EXPECT_FALSE(hdx::find_line_end("a\r"));

  const auto full = hdx::search("a=b=?c", "=?");
  ASSERT_TRUE(full);
  EXPECT_EQ(full->offset, 3u);
  EXPECT_FALSE(full->partial);
  const auto partial = hdx::search("hello wo", "world");
  ASSERT_TRUE(partial);
  EXPECT_TRUE(partial->partial);
  EXPECT_EQ(partial->length, 2u);
  EXPECT_FALSE(hdx::search("", "x"));

  EXPECT_TRUE(hdx::has_non_space("  \t"));
  EXPECT_FALSE(hdx::has_non_space("   "));
  EXPECT_FALSE(hdx::has_non_space(""));
  EXPECT_EQ(hdx::comment_length("(a(b)c)x"), 7u);
  EXPECT_EQ(hdx::quoted_string_length("\"a\\\"b\"c"), 6u);
  EXPECT_FALSE(hdx::comment_length(""));
  EXPECT_FALSE(hdx::quoted_string_length("\"ab"));
}

TEST(Cpp, InPlaceExtractors) {
  std::string folded = "A: x\r\n y\r\n";
  hdx::unfold_in_place(folded);
  EXPECT_EQ(folded, "A: x y\r\n");

  std::string from = "From: ab(x)@cd\r\n";
  EXPECT_EQ(hdx::sender_address_in_place(from), "ab@cd");
  EXPECT_EQ(from, "From: ab@cd@cd\r\n");  // changed in place, as the name says
  std::string no_at = "From: xyz";
  EXPECT_FALSE(hdx::sender_address_in_place(no_at));

  std::string rcvd = "Received: from mx\r\n (mx [10.0.0.1]) by cd\r\n";
  const auto ip = hdx::sender_ip_in_place(rcvd);
  ASSERT_TRUE(ip);
  EXPECT_EQ(*ip, "10.0.0.1");
  EXPECT_EQ(ip->data() - rcvd.data(), 23);
}

TEST(Cpp, ReadOnlyExtractors) {
  EXPECT_EQ(hdx::path_address("RCPT TO:<@r1,@r2:ab@cd>"), "ab@cd");
  EXPECT_FALSE(hdx::path_address("MAIL FROM:<>"));
  const auto date = hdx::current_date();
  ASSERT_TRUE(date);
  EXPECT_EQ(date->size(), 31u);
}

}  // namespace
