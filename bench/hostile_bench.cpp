// Every entry point that parses, on hostile inputs of 1, 4 and 16 MiB: the time must grow
// linearly with the size. memchr over the same bytes is the baseline of each row.
#include <cstring>
#include <string>
#include <string_view>

#include "bench_util.h"
#include "hdx.h"

namespace {

using hdx_bench::repeat_to;

enum class Entry { kFrom, kReceived, kPath, kUnfold };

struct Shape {
  const char* label;
  Entry entry;
  std::string (*make)(std::size_t);
};

// Whole units only, so that every hostile body ends in something to extract and the whole input
// is worked through.
std::string units(std::string_view unit, std::size_t size) {
  return repeat_to(unit, size - size % unit.size());
}
std::string from(std::string_view unit, std::size_t size) {
  return "From: " + units(unit, size) + " <ab@cd>\r\n";
}
std::string path(std::string_view prefix, std::string_view unit, std::size_t size) {
  return "MAIL FROM:<" + std::string(prefix) + units(unit, size) + "@cd>";
}

constexpr Shape kShapes[] = {
    {"from_comments", Entry::kFrom, [](std::size_t n) { return from("(c)", n); }},
    {"from_encoded_words", Entry::kFrom, [](std::size_t n) { return from("=?u?Q?x?=", n); }},
    {"from_nesting", Entry::kFrom,
     [](std::size_t n) {
       return "From: " + std::string(n / 2, '(') + std::string(n / 2, ')') + " <ab@cd>\r\n";
     }},
    {"from_quotes", Entry::kFrom, [](std::size_t n) { return from("\"", n); }},
    {"from_escaped_quotes", Entry::kFrom, [](std::size_t n) { return from("\\\"", n); }},
    {"from_folds", Entry::kFrom, [](std::size_t n) { return from("x\r\n ", n); }},
    {"received_folds", Entry::kReceived,
     [](std::size_t n) { return "Received: from" + units("\r\n ", n) + " x (y [10.0.0.1])\r\n"; }},
    {"received_long_group", Entry::kReceived,
     [](std::size_t n) { return "Received: from x (" + repeat_to("y ", n) + "[10.0.0.1])\r\n"; }},
    {"path_quotes", Entry::kPath, [](std::size_t n) { return path("", "\"", n); }},
    {"path_escaped_quotes", Entry::kPath, [](std::size_t n) { return path("\"", "\\\"", n); }},
    {"path_long_local_part", Entry::kPath, [](std::size_t n) { return path("", "x", n); }},
    {"unfold_folds", Entry::kUnfold, [](std::size_t n) { return units("x\r\n y\n\t", n); }},
};
constexpr int kShapeCount = static_cast<int>(std::size(kShapes));

std::int32_t call(Entry entry, std::string& buf) {
  const auto len = static_cast<std::uint32_t>(buf.size());
  char out[64];
  char* ip = nullptr;
  std::uint32_t ip_len = 0;
  switch (entry) {
    case Entry::kFrom:
      return HDXExtractSenderEmailAddrFromFromHdrField(buf.data(), len, out, sizeof out);
    case Entry::kReceived:
      return HDXExtractSenderIPFromRcvdHdrField(buf.data(), len, &ip, &ip_len);
    case Entry::kPath:
      return HDXExtractEmailAddrFromReverseOrForwardPath(buf.data(), len, out, sizeof out);
    case Entry::kUnfold:
      return static_cast<std::int32_t>(HDXUnfoldEmailHdrLine(buf.data(), len));
  }
  return HDX_FAIL;
}

void BM_Hostile(benchmark::State& state) {
  const Shape& shape = kShapes[state.range(0)];
  state.SetLabel(shape.label);
  std::int32_t result = 0;
  hdx_bench::run_in_place(state, shape.make(static_cast<std::size_t>(state.range(1))),
                          [&](std::string& buf) { result = call(shape.entry, buf); });
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
