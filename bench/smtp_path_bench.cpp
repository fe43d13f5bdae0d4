// The SMTP path extractor on typical commands (time per command) and on hostile commands of 1 to
// 16 MiB beside memchr over the same bytes: long runs of quotes, of escaped quotes, and a path
// whose "@" comes only at the end. The command is only read, so nothing is restored.
#include <cstring>
#include <string>
#include <string_view>

#include "bench_util.h"
#include "hdx.h"

namespace {

constexpr std::string_view kTypical[] = {
    "MAIL FROM:<ann@example.org>\r\n",
    "MAIL FROM:<ann@example.org> SIZE=12345 BODY=8BITMIME\r\n",
    "RCPT TO:<@relay1.example.net,@relay2.example.net:bob@example.com>\r\n",
    "RCPT TO:<\"bob smith\"@example.com> NOTIFY=NEVER\r\n",
};

void BM_PathTypical(benchmark::State& state) {
  const std::string_view cmd = kTypical[state.range(0)];
  char out[256];
  for (auto _ : state) {
    benchmark::DoNotOptimize(HDXExtractEmailAddrFromReverseOrForwardPath(
        cmd.data(), static_cast<std::uint32_t>(cmd.size()), out, sizeof out));
  }
}
BENCHMARK(BM_PathTypical)->DenseRange(0, std::size(kTypical) - 1);

std::string make(int shape, std::size_t size) {
  switch (shape) {
    case 0: return "MAIL FROM:<" + hdx_bench::repeat_to("\"", size) + "@cd>";
    case 1: return "MAIL FROM:<\"" + hdx_bench::repeat_to("\\\"", size) + "@cd>";
    default: return "MAIL FROM:<" + hdx_bench::repeat_to("x", size) + "@cd>";
  }
}
constexpr const char* kShapes[] = {"quotes", "escaped_quotes", "long_local_part"};

void BM_PathHostile(benchmark::State& state) {
  state.SetLabel(kShapes[state.range(0)]);
  const std::string cmd =
      make(static_cast<int>(state.range(0)), static_cast<std::size_t>(state.range(1)));
  char out[64];
  for (auto _ : state) {
    benchmark::DoNotOptimize(HDXExtractEmailAddrFromReverseOrForwardPath(
        cmd.data(), static_cast<std::uint32_t>(cmd.size()), out, sizeof out));
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * cmd.size()));
}

void BM_PathHostileMemchr(benchmark::State& state) {
  state.SetLabel(kShapes[state.range(0)]);
  const std::string cmd =
      make(static_cast<int>(state.range(0)), static_cast<std::size_t>(state.range(1)));
  for (auto _ : state) benchmark::DoNotOptimize(std::memchr(cmd.data(), '\n', cmd.size()));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * cmd.size()));
}

constexpr int kShapeCount = static_cast<int>(std::size(kShapes));

BENCHMARK(BM_PathHostile)->Apply(hdx_bench::hostile_args<kShapeCount>)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PathHostileMemchr)->Apply(hdx_bench::hostile_args<kShapeCount>)->Unit(benchmark::kMillisecond);

}  // namespace
