// Every entry point that parses, on hostile inputs of 1, 4 and 16 MiB: the time must grow
// linearly with the size. memchr over the same bytes is the baseline of each row.
#include <cstring>
#include <string>
#include <string_view>

#include "bench_util.h"
#include "hdx.h"
#include "hostile.h"

namespace {

using hdx_bench::Entry;
using hdx_bench::kShapes;
using hdx_bench::Shape;
constexpr int kShapeCount = static_cast<int>(std::size(kShapes));

void BM_Hostile(benchmark::State& state) {
  const Shape& shape = kShapes[state.range(0)];
  state.SetLabel(shape.label);
  std::int32_t result = 0;
  hdx_bench::run_in_place(state, shape.make(static_cast<std::size_t>(state.range(1))),
                          [&](std::string& buf) { result = hdx_bench::call(shape.entry, buf); });
  state.counters["ok"] = result != HDX_FAIL;
}

void BM_HostileMemchr(benchmark::State& state) {
  state.SetLabel(kShapes[state.range(0)].label);
  hdx_bench::memchr_every_lf(
      state, kShapes[state.range(0)].make(static_cast<std::size_t>(state.range(1))));
}

BENCHMARK(BM_Hostile)->Apply(hdx_bench::hostile_args<kShapeCount>)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_HostileMemchr)
    ->Apply(hdx_bench::hostile_args<kShapeCount>)
    ->Unit(benchmark::kMillisecond);

}  // namespace
