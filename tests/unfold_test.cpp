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

// Random fields against the literal fold-by-fold model, whole buffers compared. Short fields are
// mostly folding bytes; fields of up to 600 bytes, the size of real ones, cross the edges of the
// 64-byte masks and the end of the simpler pass for such fields. Long ones alternate stretches of
// such bytes, thousands of folds standing closer than a vector apart, with stretches of text folded
// every few dozen bytes, so that dense spans begin and end at every offset and meet the stash of
// fold kinds. A third of the fields mix the kinds; the others hold folds of one kind only, CR LF or
// LF, which a field of many dense folds takes out a span at a time. The dense bytes include those
// one bit away from LF, CR and the blanks, which a sloppy word-at-a-time compare would take for
// them.
TEST(Unfold, MatchesFoldByFoldMoves) {
  std::mt19937 rng(20261206);
  using Units = std::vector<std::string_view>;
  const Units kDense[] = {{"a", " ", "\t", "\r", "\n", "\n", " ", "\v", "\f", "!", "\b"},
                          {"a", " ", "\t", "\r\n", "\r\n", "\r", " ", "\v", "!"},
                          {"a", " ", "\t", "\n", "\n", " ", "\f", "\b"}};
  const Units kSparseFolds[] = {
      {"\r\n ", "\n\t", "\r\n\t", "\r\r\n "}, {"\r\n ", "\r\n\t"}, {"\n\t"}};
  for (int round = 0; round < 3500; ++round) {
    const Units& dense_units = kDense[round % 3];
    const Units& sparse_folds = kSparseFolds[round % 3];
    std::string in;
    const std::size_t len = round < 2000 ? rng() % 64 : round < 2500 ? rng() % 600 : rng() % 20000;
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
