#include <gtest/gtest.h>

#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "fold_model.h"
#include "guarded.h"
#include "hdx.h"

using namespace std::literals;
using hdx_test::GuardedBytes;

namespace {

struct UnfoldCase {
  const char* name;
  std::string_view in;
  std::string_view want_buffer;  // the whole buffer afterwards, leftovers included
  std::uint32_t want_len;
};

constexpr UnfoldCase kUnfolds[] = {
    {"two crlf folds leave crlf twice", "Subject: a\r\n b\r\n\tc\r\n"sv,
     "Subject: a b\tc\r\n\r\n\r\n"sv, 16},
    {"lf folds", "A: x\n y\n"sv, "A: x y\n\n"sv, 7},
    {"next line without blank", "A: x\r\ny: z\r\n"sv, "A: x\r\ny: z\r\n"sv, 12},
    {"no lf", "A: x"sv, "A: x"sv, 4},
    {"terminator at the end stays", "A\r\n"sv, "A\r\n"sv, 3},
    {"blank line before a blank is joined", "A: x\r\n\r\n body"sv, "A: x\r\n bodydy"sv, 11},
    {"continuation of only a space", "A: x\r\n \r\n y\r\n"sv, "A: x  y\r\n\r\n\r\n"sv, 9},
    {"lf first then a blank", "\n x"sv, " xx"sv, 2},
    {"mixed folds leave copies in fold order", "a\n b\r\n c\n dZ"sv, "a b c dZZdZZ"sv, 8},
    {"cr before lf at the start of a line", "a\n\r\n b"sv, "a\n b b"sv, 4},
    {"lone cr stays", "a\r b\r\n c"sv, "a\r b c c"sv, 6},
    {"single byte", "\n"sv, "\n"sv, 1},
    {"empty", ""sv, ""sv, 0},
};

TEST(Unfold, Table) {
  for (const auto& c : kUnfolds) {
    SCOPED_TRACE(c.name);
    GuardedBytes buf(c.in);
    EXPECT_EQ(HDXUnfoldEmailHdrLine(buf.data(), buf.len()), c.want_len);
    EXPECT_EQ(buf.str(), c.want_buffer);
  }
}

TEST(Unfold, Null) { EXPECT_EQ(HDXUnfoldEmailHdrLine(nullptr, 42), 42u); }

// Random fields against the literal fold-by-fold model, whole buffers compared. Short fields are
// mostly folding bytes. Long ones alternate stretches of such bytes, thousands of folds standing
// closer than a vector apart, with stretches of text folded every few dozen bytes, so that dense
// spans begin and end at every offset and meet the stash of fold kinds. A third of the fields
// mix the kinds; the others hold folds of one kind only, CR LF or LF, which a field of many
// dense folds takes out a span at a time. The dense bytes include those one bit away from LF, CR
// and the blanks, which a sloppy word-at-a-time compare would take for them.
TEST(Unfold, MatchesFoldByFoldMoves) {
  std::mt19937 rng(20261206);
  using Units = std::vector<std::string_view>;
  const Units kDense[] = {{"a", " ", "\t", "\r", "\n", "\n", " ", "\v", "\f", "!", "\b"},
                          {"a", " ", "\t", "\r\n", "\r\n", "\r", " ", "\v", "!"},
                          {"a", " ", "\t", "\n", "\n", " ", "\f", "\b"}};
  const Units kSparseFolds[] = {
      {"\r\n ", "\n\t", "\r\n\t", "\r\r\n "}, {"\r\n ", "\r\n\t"}, {"\n\t"}};
  for (int round = 0; round < 3000; ++round) {
    const Units& dense_units = kDense[round % 3];
    const Units& sparse_folds = kSparseFolds[round % 3];
    std::string in;
    const std::size_t len = round < 2000 ? rng() % 64 : rng() % 20000;
    while (in.size() < len) {
      const std::size_t stretch = 1 + rng() % 300;
      const bool dense = round < 2000 || rng() % 2 == 0;
      for (std::size_t i = 0; i < stretch; ++i) {
        if (dense) in += dense_units[rng() % dense_units.size()];
        else if (rng() % 30 == 0) in += sparse_folds[rng() % sparse_folds.size()];
        else in += 'x';
      }
    }
    in.resize(len);
    std::string want = in;
    const std::uint32_t want_len = hdx_test::unfold_by_moves(want);
    GuardedBytes buf(in);
    ASSERT_EQ(HDXUnfoldEmailHdrLine(buf.data(), buf.len()), want_len) << "round " << round;
    ASSERT_EQ(buf.str(), want) << "round " << round;
  }
}

}  // namespace
