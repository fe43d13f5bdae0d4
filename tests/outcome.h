// One call of an extractor on guarded input, summed up as a string so that a table row states its
// whole outcome in one column: the text for 0, "!" and the text for -1 after writing, and "-" for
// -1 with out untouched. Writing past out_size, or text not terminated inside it, fails the test.
#ifndef HDX_TESTS_OUTCOME_H
#define HDX_TESTS_OUTCOME_H

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "guarded.h"

namespace hdx_test {

template <class Extract>
std::string outcome(Extract extract, GuardedBytes& in, std::uint32_t out_size) {
  std::string out(out_size + 1, '#');
  const std::int32_t rc = extract(in.data(), in.len(), out.data(), out_size);
  EXPECT_EQ(out[out_size], '#');
  if (rc == -1 && out[0] == '#') return "-";
  EXPECT_LT(out.find('\0'), out_size);
  return (rc == 0 ? "" : rc == -1 ? "!" : "?") + std::string(out.c_str());
}

}  // namespace hdx_test

#endif  // HDX_TESTS_OUTCOME_H
