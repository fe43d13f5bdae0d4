// The Exim module's CPU a message, beside the filter's reading of the same messages: realistic
// header sections (three Received fields, From, the usual others, a folded signature), a peer and
// an envelope of two recipients. The module is loaded as Exim loads it; this program stands in
// for Exim, with its variables and a store that is emptied after each message, as Exim's is.
#include <benchmark/benchmark.h>
#include <dlfcn.h>

#include <string>
#include <vector>

#include "checks.h"
#include "connection.h"
#include "corpus.h"
#include "exim_stand_in.h"
#include "fields.h"
#include "policy.h"

extern "C" {
// Exim's store: a block handed out from the bottom up and emptied after each message.
alignas(16) static unsigned char store[1 << 20];
static std::size_t store_used = 0;
void* store_get_3(int size, const void*, const char*, int) {
  void* p = store + store_used;
  store_used += (static_cast<std::size_t>(size) + 15) & ~std::size_t{15};
  if (store_used > sizeof store) std::abort();
  return p;
}
}

namespace {

std::string peer = "192.0.2.25", sender = "ann@example.org";
std::vector<std::string> rcpt = {"bob@example.net", "carl@example.net"};

// Each message's fields as Exim holds them (LF line ends, no CR), with its header lines.
struct Message {
  std::vector<std::string> fields;
  std::vector<header_line> lines;
};

std::vector<Message> messages() {
  std::vector<Message> all;
  for (std::string section : hdx_bench::header_sections(1000)) {
    std::string lf;
    for (char c : section) {
      if (c != '\r') lf += c;
    }
    Message m;
    for (std::size_t start = 0, end; start < lf.size(); start = end) {
      end = start;
      do end = lf.find('\n', end) + 1;
      while (end < lf.size() && (lf[end] == ' ' || lf[end] == '\t'));
      m.fields.push_back(lf.substr(start, end - start));
    }
    for (std::size_t i = 0; i < m.fields.size(); ++i) {
      m.lines.push_back({nullptr, ' ', static_cast<int>(m.fields[i].size()),
                         reinterpret_cast<uschar*>(m.fields[i].data())});
    }
    all.push_back(std::move(m));
  }
  for (Message& m : all) {
    for (std::size_t i = 0; i + 1 < m.lines.size(); ++i) m.lines[i].next = &m.lines[i + 1];
  }
  return all;
}

void BM_ModuleIdentity(benchmark::State& state) {
  void* module = dlopen(HDX_EXIM_MODULE, RTLD_NOW | RTLD_LOCAL);
  auto identity = reinterpret_cast<int (*)(uschar**, int, uschar**)>(dlsym(module, "identity"));
  std::vector<Message> all = messages();
  std::vector<recipient_item> recipients(rcpt.size());
  for (std::size_t i = 0; i < rcpt.size(); ++i) {
    recipients[i].address = reinterpret_cast<uschar*>(rcpt[i].data());
  }
  sender_host_address = reinterpret_cast<uschar*>(peer.data());
  sender_address = reinterpret_cast<uschar*>(sender.data());
  recipients_count = static_cast<int>(recipients.size());
  recipients_list = recipients.data();
  std::size_t i = 0;
  for (auto _ : state) {
    header_list = all[i++ % all.size()].lines.data();
    uschar* yield = nullptr;
    identity(&yield, 0, nullptr);
    benchmark::DoNotOptimize(yield);
    store_used = 0;
  }
}
BENCHMARK(BM_ModuleIdentity);

// The filter's steps on the same messages: the MTA's name and value of each field, then the added
// field with none of the sender checks decided (argument 0), with the checks (1), or with the
// checks and a day-one policy's decision on them (2), which prices the checks and the policy.
void BM_FilterIdentity(benchmark::State& state) {
  std::string error;
  const auto policy = hdx_common::parse_policy(
      "trusted-hosts = 127.0.0.0/8, ::1, 198.51.100.0/24\nreject = from-multiple, from-ambiguous\n"
      "quarantine = from-display-address, envelope-mismatch\n"
      "exempt = envelope-mismatch: lists.example.org, bulk.example\n",
      "policy", {}, error);
  std::vector<Message> all = messages();
  const std::string mail = "<" + sender + ">";
  std::size_t i = 0;
  for (auto _ : state) {
    hdx_milter::Connection c;
    c.id.peer = peer;
    c.mail(mail);
    for (const std::string& r : rcpt) c.rcpt("<" + r + ">");
    for (const std::string& f : all[i++ % all.size()].fields) {
      const auto field = hdx_common::split_field(f);
      c.header(field->name, field->value, "X-HDX-Identity");
    }
    const hdx_common::Checks fired = state.range(0) >= 1 ? c.checks() : hdx_common::Checks();
    hdx_common::Decision decision;
    if (state.range(0) == 2) {
      decision = hdx_common::decide(*policy, fired, c.id, {c.id.peer, false});
    }
    benchmark::DoNotOptimize(c.added_value(
        "X-HDX-Identity", fired, hdx_common::kActionNames[static_cast<int>(decision.action)],
        decision.spared));
  }
}
BENCHMARK(BM_FilterIdentity)->Arg(0)->Arg(1)->Arg(2);

// The sender checks alone on the same messages, each read once before the clock starts: their
// cost without the reading's, which varies more from run to run than they cost.
void BM_SenderChecks(benchmark::State& state) {
  std::vector<hdx_milter::Connection> read(512);
  const std::vector<Message> all = messages();
  for (std::size_t i = 0; i < read.size(); ++i) {
    read[i].id.peer = peer;
    read[i].mail("<" + sender + ">");
    for (const std::string& f : all[i % all.size()].fields) {
      const auto field = hdx_common::split_field(f);
      read[i].header(field->name, field->value, "X-HDX-Identity");
    }
  }
  std::size_t i = 0;
  for (auto _ : state) benchmark::DoNotOptimize(read[i++ % read.size()].checks());
}
BENCHMARK(BM_SenderChecks);

// The sender checks on hostile From fields of 256 KiB to 4 MiB, read without caps as hdx scan
// reads them: the time a byte must stay the same as the size grows. Argument 0: one field of
// commas; 1: that many bytes of From fields; 2: nested comments; 3: encoded words; 4: at signs
// in a display name; 5: zero-width spaces in one; 6: comments beside a bare address; 7: encoded
// words in charsets that change from word to word.
void BM_HostileChecks(benchmark::State& state) {
  const auto size = static_cast<std::size_t>(state.range(1));
  const auto fill = [size](std::string head, std::string_view unit, std::string tail) {
    while (head.size() < size) head += unit;
    return head + tail;
  };
  std::vector<std::string> fields;
  switch (state.range(0)) {
    case 0: fields = {fill("From: ", "a@b.example, ", "\n")}; break;
    case 1: fields.assign(size / 20, "From: <a@b.example>\n"); break;
    case 2: fields = {fill("From: ", "(", "") + std::string(size, ')') + " <a@b.example>\n"}; break;
    case 3: fields = {fill("From: ", "=?utf-8?B?YUBiLmV4YW1wbGU=?= ", "<x@y.example>\n")}; break;
    case 4: fields = {fill("From: \"", "a@b.c ", "\" <x@y.example>\n")}; break;
    case 5: fields = {fill("From: \"a@", "\u200b", "b.c\" <x@y.example>\n")}; break;
    case 6: fields = {fill("From: x@y.example", " (a@y.example)", "\n")}; break;
    default:
      fields = {fill("From: ", "=?iso-8859-2?q?a=40?= =?koi8-r?q?y.example?= ", "<x@y.example>\n")};
      break;
  }
  static constexpr const char* kLabels[] = {"commas",         "From fields",   "nested comments",
                                            "encoded words",  "at signs",      "zero-width spaces",
                                            "comments",       "charsets"};
  state.SetLabel(kLabels[state.range(0)]);
  for (auto _ : state) {
    hdx_common::Identity id(std::pmr::get_default_resource(), hdx_common::kNoCaps);
    id.mail_from("MAIL FROM:<a@b.example>");
    for (const std::string& f : fields) id.field(f);
    benchmark::DoNotOptimize(hdx_common::sender_checks(id));
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * size));
}
BENCHMARK(BM_HostileChecks)
    ->ArgsProduct({{0, 1, 2, 3, 4, 5, 6, 7}, {256 << 10, 1 << 20, 4 << 20}})
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
