// Helpers shared by the benchmarks: the in-place loop, and the baseline every in-place benchmark
// sits beside. Large inputs are built with hostile.h.
#ifndef HDX_BENCH_UTIL_H
#define HDX_BENCH_UTIL_H

#include <benchmark/benchmark.h>

#include <cstring>
#include <string>
#include <string_view>

#include "hostile.h"

namespace hdx_bench {

// The calls under test change their input in place, so every iteration first restores it from a
// pristine copy; the baselines do the same, so the figures compare like with like.
template <class Call>
void run_in_place(benchmark::State& state, const std::string& pristine, Call call) {
  std::string buf = pristine;
  for (auto _ : state) {
    std::memcpy(buf.data(), pristine.data(), buf.size());
    call(buf);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * pristine.size()));
}

// The baseline: memchr for every LF of the same bytes, the least work that finds the folds.
inline void memchr_every_lf(benchmark::State& state, const std::string& pristine) {
  run_in_place(state, pristine, [](std::string& buf) {
    std::size_t lines = 0;
    const char* p = buf.data();
    const char* end = p + buf.size();
    while (const void* lf = std::memchr(p, '\n', static_cast<std::size_t>(end - p))) {
      p = static_cast<const char*>(lf) + 1;
      ++lines;
    }
    benchmark::DoNotOptimize(lines);
  });
}

// Arguments {shape, size} for every shape of a hostile input at 1, 4 and 16 MiB.
template <int Shapes>
void hostile_args(benchmark::internal::Benchmark* b) {
  for (int shape = 0; shape < Shapes; ++shape) {
    for (std::int64_t size : {1 << 20, 4 << 20, 16 << 20}) b->Args({shape, size});
  }
}

}  // namespace hdx_bench

#endif  // HDX_BENCH_UTIL_H
