// The C++ interface: the C results, in its own types.
#include <gtest/gtest.h>
#include <sys/mman.h>

#include <memory_resource>
#include <string>

#include "hdx.hpp"

TEST(Cpp, WrapsEveryFunction) {
  EXPECT_EQ(hdx::find_line_end("abc\r\ndef")->line_length, 5u);
  EXPECT_FALSE(hdx::find_line_end("a\r"));
  const auto partial = hdx::search("hello wo", "world");
  EXPECT_TRUE(partial && partial->partial && partial->offset == 6 && partial->length == 2);
  EXPECT_FALSE(hdx::has_non_space(""));
  EXPECT_EQ(hdx::comment_length("(a(b)c)x"), 7u);
  EXPECT_FALSE(hdx::quoted_string_length("\"ab"));
  EXPECT_EQ(hdx::current_date()->size(), 31u);

  std::string folded = "A: x\r\n y\r\n";
  hdx::unfold_in_place(folded);
  EXPECT_EQ(folded, "A: x y\r\n");
  // The extractors are the shared field rows' business, over std::string and std::pmr::string.
  std::pmr::string rcvd("Received: from mx\r\n (mx [10.0.0.1]) by cd\r\n");
  const auto ip = hdx::sender_ip_in_place(rcvd);
  EXPECT_TRUE(ip && ip->data() - rcvd.data() == 23 && *ip == "10.0.0.1");
}

// 4 GiB or more is refused whole, not cut to what fits: over a mapping that faults on any read,
// every function that takes a length gives no result.
TEST(Cpp, RefusesFourGiB) {
  if constexpr (sizeof(std::size_t) > 4) {
    const auto size = static_cast<std::size_t>(std::uint64_t{1} << 32);
    void* huge = mmap(nullptr, size, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    ASSERT_NE(huge, MAP_FAILED);
    const std::string_view text(static_cast<const char*>(huge), size);
    EXPECT_FALSE(hdx::find_line_end(text));
    EXPECT_FALSE(hdx::search(text, "x") || hdx::search("x", text));
    EXPECT_FALSE(hdx::path_address(text));
    munmap(huge, size);
  }
}
