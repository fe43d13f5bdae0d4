// The From extractor on typical fields (time per field) and on hostile fields of 1 to 16 MiB,
// each beside the memchr baseline over the same bytes: thousands of comments, encoded words,
// deep nesting, runs of unclosed and of escaped quotes, and folds.
#include <string>
#include <string_view>

#include "bench_util.h"
#include "hdx.h"

namespace {

using hdx_bench::repeat_to;

constexpr std::string_view kTypical[] = {
    "From: Ann Example <ann@example.org>\r\n",
    "From: ann@example.org (Ann Example)\r\n",
    "From: \"Example, Ann (Sales)\" <ann.example@sales.example.org>\r\n",
    "From: =?utf-8?Q?Ann_=C3=89xample?= <ann@example.org>\r\n",
    "From: \"Ann Example\"\r\n <ann@example.org>\r\n",
};

void BM_FromTypical(benchmark::State& state) {
  const std::string_view field = kTypical[state.range(0)];
  char out[256];
  hdx_bench::run_in_place(state, std::string(field), [&out](std::string& buf) {
    benchmark::DoNotOptimize(HDXExtractSenderEmailAddrFromFromHdrField(
        buf.data(), static_cast<std::uint32_t>(buf.size()), out, sizeof out));
  });
}
BENCHMARK(BM_FromTypical)->DenseRange(0, std::size(kTypical) - 1);

// Every hostile body ends in an address, so the whole field is worked through.
std::string hostile(std::string_view unit, std::size_t size) {
  return "From: " + repeat_to(unit, size) + " <ab@cd>\r\n";
}
std::string nesting(std::size_t size) {
  return "From: " + std::string(size / 2, '(') + std::string(size / 2, ')') + " <ab@cd>\r\n";
}
std::string make(int shape, std::size_t size) {
  switch (shape) {
    case 0: return hostile("(c)", size);
    case 1: return hostile("=?u?Q?x?=", size);
    case 2: return nesting(size);
    case 3: return hostile("\"", size);
    case 4: return hostile("\\\"", size);
    default: return hostile("x\r\n ", size);
  }
}
constexpr const char* kShapes[] = {"comments", "encoded_words", "nesting", "unclosed_quotes",
                                   "escaped_quotes", "folds"};

void BM_FromHostile(benchmark::State& state) {
  state.SetLabel(kShapes[state.range(0)]);
  char out[64];
  hdx_bench::run_in_place(state, make(static_cast<int>(state.range(0)),
                                      static_cast<std::size_t>(state.range(1))),
                          [&out](std::string& buf) {
                            benchmark::DoNotOptimize(HDXExtractSenderEmailAddrFromFromHdrField(
                                buf.data(), static_cast<std::uint32_t>(buf.size()), out,
                                sizeof out));
                          });
}

void BM_FromHostileMemchr(benchmark::State& state) {
  state.SetLabel(kShapes[state.range(0)]);
  hdx_bench::memchr_every_lf(state, make(static_cast<int>(state.range(0)),
                                         static_cast<std::size_t>(state.range(1))));
}

constexpr int kShapeCount = static_cast<int>(std::size(kShapes));

BENCHMARK(BM_FromHostile)->Apply(hdx_bench::hostile_args<kShapeCount>)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FromHostileMemchr)->Apply(hdx_bench::hostile_args<kShapeCount>)->Unit(benchmark::kMillisecond);

}  // namespace
