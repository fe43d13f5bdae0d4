#include <gtest/gtest.h>

#include <random>
#include <string>
#include <string_view>

#include "cut_model.h"
#include "guarded.h"
#include "hdx.h"
#include "outcome.h"

using namespace std::literals;
using hdx_test::GuardedBytes;

namespace {

// Random fields of the bytes the extractor cares about, and thousands of cuts (runs of equal
// comments among them, which are cut as runs) with one far longer than the rest at either end,
// against the one-cut-at-a-time model of the whole field.
TEST(FromField, MatchesOneCutAtATime) {
  std::mt19937 rng(3101);
  constexpr std::string_view kBytes = "ab@()\\\"=?<>[], \t\r\n=?(()";
  constexpr std::string_view kUnits[] = {"(c)", "()", "(abcdefghijklmn)", "(a(b))",
                                         "=?q?x?=(\\)(y))"};
  std::string many;
  for (int i = 0; i < 300; ++i) {
    const std::string_view unit = kUnits[rng() % std::size(kUnits)];
    for (std::size_t n = 1 + rng() % 40; n > 0; --n) many += unit;
  }
  const std::string longest = "(" + std::string(5000, 'z') + ")";
  for (int round = 0; round < 6004; ++round) {
    std::string in = "From: ";
    if (round < 6000) {
      for (std::size_t n = round < 5000 ? rng() % 40 : rng() % 3000; n > 0; --n) {
        in += kBytes[rng() % kBytes.size()];
      }
    } else {
      const std::string bodies[] = {many + "ab@cd", longest + many + "ab@cd",
                                    "ab@cd" + many + longest, many + longest + many + "(x"};
      in += bodies[round - 6000] + "\r\n";
    }
    GuardedBytes buf(in);
    hdx_test::outcome(HDXExtractSenderEmailAddrFromReturnPathHdrField, buf,
                      static_cast<std::uint32_t>(1 + rng() % 12));
    ASSERT_EQ(buf.str(), hdx_test::from_field_after_cuts(in)) << "round " << round;
  }
}

}  // namespace
