// Same-run comparisons on realistic sets: each job done by hdx and by what a host author would
// otherwise use. Peers that were not found at configure time are left out of the run.
// bench/report.py turns the JSON output into the README's table and chart.
#include <cstring>
#include <string>
#include <vector>

#include "bench_util.h"
#include "corpus.h"
#include "hdx.h"
#include "references.h"

#ifdef HDX_HAVE_ETPAN
#include <libetpan/libetpan.h>
#endif
#ifdef HDX_HAVE_GMIME
#include <gmime/gmime.h>
#endif
#ifdef HDX_HAVE_PCRE2
#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>
#endif

namespace {

using hdx_bench::FieldSet;

constexpr std::size_t kFields = 100000;

const FieldSet& from_set() {
  static const FieldSet set = hdx_bench::from_fields(kFields);
  return set;
}
const FieldSet& received_set() {
  static const FieldSet set = hdx_bench::received_fields(kFields);
  return set;
}
const FieldSet& smtp_set() {
  static const FieldSet set = hdx_bench::smtp_commands(kFields);
  return set;
}
// From and Received fields together, as a host unfolds them.
const FieldSet& header_set() {
  static const FieldSet set = [] {
    FieldSet both;
    for (std::size_t i = 0; i < kFields / 2; ++i) {
      both.add(std::string(from_set().at(i)));
      both.add(std::string(received_set().at(i)));
    }
    return both;
  }();
  return set;
}

// Runs `job` on every field of the set, each first copied into a scratch buffer (the hdx calls
// change their input in place; every peer pays for the same copy). `job` returns a value that
// counts as found when non-zero.
template <class Job>
void per_field(benchmark::State& state, const FieldSet& set, Job job) {
  std::string scratch(set.longest + 1, '\0');
  std::size_t found = 0;
  for (auto _ : state) {
    for (std::size_t i = 0; i < set.count(); ++i) {
      const std::string_view field = set.at(i);
      std::memcpy(scratch.data(), field.data(), field.size());
      found += job(scratch.data(), field.size()) != 0;
    }
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * set.count()));
  state.counters["found"] =
      static_cast<double>(found) / static_cast<double>(state.iterations() * set.count());
}

std::uint32_t u32(std::size_t n) { return static_cast<std::uint32_t>(n); }

// The floor under every per-field row: the loop and the copy into the scratch buffer alone.
void BM_CopyOnly(benchmark::State& state) {
  per_field(state, from_set(), [](char* f, std::size_t n) { return f[n - 1]; });
}
BENCHMARK(BM_CopyOnly);

// ---- From ----

void BM_From_hdx(benchmark::State& state) {
  char out[256];
  per_field(state, from_set(), [&out](char* f, std::size_t n) {
    return HDXExtractSenderEmailAddrFromFromHdrField(f, u32(n), out, sizeof out) == HDX_OK;
  });
}
BENCHMARK(BM_From_hdx);

// The same fields, one kind at a time (hdx_bench::kFromKinds, by index): what each path costs
// without the mispredictions that the mix of kinds brings.
void BM_FromKind_hdx(benchmark::State& state) {
  static const auto sets = [] {
    std::vector<FieldSet> by_kind(std::size(hdx_bench::kFromKinds));
    for (std::size_t i = 0; i < from_set().count(); ++i) {
      const std::string kind = hdx_bench::from_kind(from_set().at(i));
      for (std::size_t k = 0; k < by_kind.size(); ++k) {
        if (kind == hdx_bench::kFromKinds[k]) by_kind[k].add(std::string(from_set().at(i)));
      }
    }
    return by_kind;
  }();
  const auto k = static_cast<std::size_t>(state.range(0));
  state.SetLabel(hdx_bench::kFromKinds[k]);
  char out[256];
  per_field(state, sets[k], [&out](char* f, std::size_t n) {
    return HDXExtractSenderEmailAddrFromFromHdrField(f, u32(n), out, sizeof out) == HDX_OK;
  });
}
BENCHMARK(BM_FromKind_hdx)->DenseRange(0, std::size(hdx_bench::kFromKinds) - 1);

#ifdef HDX_HAVE_ETPAN
void BM_From_libetpan(benchmark::State& state) {
  per_field(state, from_set(), [](char* f, std::size_t n) {
    std::size_t index = 5;  // after "From:", as hdx starts
    mailimf_mailbox_list* list = nullptr;
    if (mailimf_mailbox_list_parse(f, n, &index, &list) != MAILIMF_NO_ERROR) return false;
    const auto* first = static_cast<mailimf_mailbox*>(clist_content(clist_begin(list->mb_list)));
    const bool found = first != nullptr && first->mb_addr_spec[0] != '\0';
    mailimf_mailbox_list_free(list);
    return found;
  });
}
BENCHMARK(BM_From_libetpan);
#endif

#ifdef HDX_HAVE_GMIME
void BM_From_gmime(benchmark::State& state) {
  g_mime_init();
  per_field(state, from_set(), [](char* f, std::size_t n) {
    f[n] = '\0';  // the parser takes a C string
    InternetAddressList* list = internet_address_list_parse(nullptr, f + 5);
    if (list == nullptr) return false;
    const bool found = internet_address_list_length(list) > 0;
    g_object_unref(list);
    return found;
  });
}
BENCHMARK(BM_From_gmime);
#endif

// ---- Received ----

void BM_Received_hdx(benchmark::State& state) {
  per_field(state, received_set(), [](char* f, std::size_t n) {
    char* ip = nullptr;
    std::uint32_t len = 0;
    return HDXExtractSenderIPFromRcvdHdrField(f, u32(n), &ip, &len) == HDX_OK;
  });
}
BENCHMARK(BM_Received_hdx);

#ifdef HDX_HAVE_PCRE2
// The same group as hdx reads: the bracketed text in the first parenthesised group after the
// announced name. \s stands for the blanks so that folded fields match without unfolding.
void BM_Received_pcre2(benchmark::State& state) {
  constexpr char kPattern[] = R"(^Received:\s*from\s*(?:[^\s(]+\s*)?\([^)\[]*\[\s*([^\])\s]*))";
  int error = 0;
  PCRE2_SIZE offset = 0;
  pcre2_code* re = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(kPattern), PCRE2_ZERO_TERMINATED, 0,
                                 &error, &offset, nullptr);
  pcre2_jit_compile(re, PCRE2_JIT_COMPLETE);
  pcre2_match_data* match = pcre2_match_data_create_from_pattern(re, nullptr);
  per_field(state, received_set(), [&](char* f, std::size_t n) {
    return pcre2_jit_match(re, reinterpret_cast<PCRE2_SPTR>(f), n, 0, 0, match, nullptr) > 1;
  });
  pcre2_match_data_free(match);
  pcre2_code_free(re);
}
BENCHMARK(BM_Received_pcre2);
#endif

// ---- SMTP path ----

void BM_Path_hdx(benchmark::State& state) {
  char out[256];
  per_field(state, smtp_set(), [&out](char* c, std::size_t n) {
    return HDXExtractEmailAddrFromReverseOrForwardPath(c, u32(n), out, sizeof out) == HDX_OK;
  });
}
BENCHMARK(BM_Path_hdx);

void BM_Path_scanner(benchmark::State& state) {
  char out[256];
  per_field(state, smtp_set(), [&out](char* c, std::size_t n) {
    return hdx_bench::smtp_path_scan(c, n, out, sizeof out);
  });
}
BENCHMARK(BM_Path_scanner);

// ---- Unfolding ----

void BM_UnfoldField_hdx(benchmark::State& state) {
  per_field(state, header_set(),
            [](char* f, std::size_t n) { return HDXUnfoldEmailHdrLine(f, u32(n)); });
}
BENCHMARK(BM_UnfoldField_hdx);

void BM_UnfoldField_memchr(benchmark::State& state) {
  per_field(state, header_set(), hdx_bench::unfold_memchr);
}
BENCHMARK(BM_UnfoldField_memchr);

// Whole 1 MiB buffers, restored from a pristine copy before every call on both sides.
constexpr std::size_t kBlock = 1 << 20;

template <class Unfold>
void unfold_block(benchmark::State& state, const std::string& pristine, Unfold unfold) {
  hdx_bench::run_in_place(state, pristine, [&unfold](std::string& buf) {
    benchmark::DoNotOptimize(unfold(buf.data(), buf.size()));
  });
}
std::size_t hdx_unfold(char* buf, std::size_t len) { return HDXUnfoldEmailHdrLine(buf, u32(len)); }

const std::string& realistic_block() {
  static const std::string block = hdx_bench::header_block(kBlock);
  return block;
}
const std::string& folds_block() {
  static const std::string block = hdx_bench::repeat_to("x\r\n ", kBlock);
  return block;
}

void BM_UnfoldBlock_hdx(benchmark::State& state) {
  unfold_block(state, realistic_block(), hdx_unfold);
}
void BM_UnfoldBlock_memchr(benchmark::State& state) {
  unfold_block(state, realistic_block(), hdx_bench::unfold_memchr);
}
void BM_UnfoldFolds_hdx(benchmark::State& state) { unfold_block(state, folds_block(), hdx_unfold); }
void BM_UnfoldFolds_naive(benchmark::State& state) {
  unfold_block(state, folds_block(), hdx_bench::unfold_naive);
}
BENCHMARK(BM_UnfoldBlock_hdx);
BENCHMARK(BM_UnfoldBlock_memchr);
BENCHMARK(BM_UnfoldFolds_hdx);
BENCHMARK(BM_UnfoldFolds_naive);

// Without a line end nothing changes, so nothing is restored: this is the pure scan.
void BM_UnfoldNoEol_hdx(benchmark::State& state) {
  std::string buf(kBlock, 'x');
  for (auto _ : state) benchmark::DoNotOptimize(HDXUnfoldEmailHdrLine(buf.data(), u32(buf.size())));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kBlock));
}
void BM_UnfoldNoEol_memchr(benchmark::State& state) {
  const std::string buf(kBlock, 'x');
  for (auto _ : state) benchmark::DoNotOptimize(std::memchr(buf.data(), '\n', buf.size()));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kBlock));
}
BENCHMARK(BM_UnfoldNoEol_hdx);
BENCHMARK(BM_UnfoldNoEol_memchr);

}  // namespace
