// Unfolding fields of 4 KiB to 16 MiB, benign and full of folds, beside a memchr scan for every
// LF of the same bytes: the least work that finds the folds. Each iteration first restores the
// field from a pristine copy (unfolding is in place), and the baselines do the same copy, so the
// figures compare like with like; BM_RestoreOnly shows what the copy alone costs.
#include <benchmark/benchmark.h>

#include <cstring>
#include <string>
#include <string_view>

#include "hdx.h"

namespace {

std::string repeat_to(std::string_view unit, std::size_t size) {
  std::string s;
  s.reserve(size + unit.size());
  while (s.size() < size) s += unit;
  s.resize(size);
  return s;
}

// A long header folded as mailers fold it: a fold after every 76 bytes of text.
std::string benign(std::size_t size) {
  return repeat_to(std::string(76, 'x') + "\r\n ", size);
}
// The hostile case: a fold after every byte of text, mixing CR LF and LF.
std::string folds(std::size_t size) { return repeat_to("x\r\n y\n\t", size); }

template <std::string (*Make)(std::size_t)>
void BM_Unfold(benchmark::State& state) {
  const std::string pristine = Make(static_cast<std::size_t>(state.range(0)));
  std::string buf = pristine;
  for (auto _ : state) {
    std::memcpy(buf.data(), pristine.data(), buf.size());
    benchmark::DoNotOptimize(HDXUnfoldEmailHdrLine(buf.data(), static_cast<std::uint32_t>(buf.size())));
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}

template <std::string (*Make)(std::size_t)>
void BM_MemchrEveryLf(benchmark::State& state) {
  const std::string pristine = Make(static_cast<std::size_t>(state.range(0)));
  std::string buf = pristine;
  for (auto _ : state) {
    std::memcpy(buf.data(), pristine.data(), buf.size());
    std::size_t lines = 0;
    const char* p = buf.data();
    const char* end = p + buf.size();
    while (const void* lf = std::memchr(p, '\n', static_cast<std::size_t>(end - p))) {
      p = static_cast<const char*>(lf) + 1;
      ++lines;
    }
    benchmark::DoNotOptimize(lines);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}

void BM_RestoreOnly(benchmark::State& state) {
  const std::string pristine = folds(static_cast<std::size_t>(state.range(0)));
  std::string buf = pristine;
  for (auto _ : state) {
    std::memcpy(buf.data(), pristine.data(), buf.size());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}

constexpr std::int64_t kMin = 4 << 10;
constexpr std::int64_t kMax = 16 << 20;

BENCHMARK(BM_RestoreOnly)->RangeMultiplier(4)->Range(kMin, kMax);
BENCHMARK(BM_Unfold<benign>)->RangeMultiplier(4)->Range(kMin, kMax);
BENCHMARK(BM_MemchrEveryLf<benign>)->RangeMultiplier(4)->Range(kMin, kMax);
BENCHMARK(BM_Unfold<folds>)->RangeMultiplier(4)->Range(kMin, kMax);
BENCHMARK(BM_MemchrEveryLf<folds>)->RangeMultiplier(4)->Range(kMin, kMax);

}  // namespace
