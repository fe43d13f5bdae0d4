// Unfolding fields of 4 KiB to 16 MiB, benign and full of folds, beside the memchr baseline;
// BM_RestoreOnly shows what restoring the input costs on its own.
#include <string>

#include "bench_util.h"
#include "hdx.h"

namespace {

using hdx_bench::kMax;
using hdx_bench::kMin;

// A long header folded as mailers fold it: a fold after every 76 bytes of text.
std::string benign(std::size_t size) {
  return hdx_bench::repeat_to(std::string(76, 'x') + "\r\n ", size);
}
// The hostile case: a fold after every byte of text, mixing CR LF and LF.
std::string folds(std::size_t size) { return hdx_bench::repeat_to("x\r\n y\n\t", size); }

template <std::string (*Make)(std::size_t)>
void BM_Unfold(benchmark::State& state) {
  hdx_bench::run_in_place(state, Make(static_cast<std::size_t>(state.range(0))),
                          [](std::string& buf) {
                            benchmark::DoNotOptimize(HDXUnfoldEmailHdrLine(
                                buf.data(), static_cast<std::uint32_t>(buf.size())));
                          });
}

template <std::string (*Make)(std::size_t)>
void BM_MemchrEveryLf(benchmark::State& state) {
  hdx_bench::memchr_every_lf(state, Make(static_cast<std::size_t>(state.range(0))));
}

void BM_RestoreOnly(benchmark::State& state) {
  hdx_bench::run_in_place(state, folds(static_cast<std::size_t>(state.range(0))),
                          [](std::string&) {});
}

BENCHMARK(BM_RestoreOnly)->RangeMultiplier(4)->Range(kMin, kMax);
BENCHMARK(BM_Unfold<benign>)->RangeMultiplier(4)->Range(kMin, kMax);
BENCHMARK(BM_MemchrEveryLf<benign>)->RangeMultiplier(4)->Range(kMin, kMax);
BENCHMARK(BM_Unfold<folds>)->RangeMultiplier(4)->Range(kMin, kMax);
BENCHMARK(BM_MemchrEveryLf<folds>)->RangeMultiplier(4)->Range(kMin, kMax);

}  // namespace
