// One pass of one job, for counting the library's instructions under callgrind
// (bench/instructions.sh): a realistic set of the same-run comparisons, each field copied into a
// scratch buffer outside the library and handed to it whole, or one hostile input of 1 MiB.
// Prints the number of library calls made, which the counts are divided by.
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "corpus.h"
#include "hdx.h"
#include "hostile.h"

namespace {

constexpr std::size_t kFields = 10000;

// Each field of SET that `keep` takes through CALL, on a copy, as a host hands fields over.
template <class Call, class Keep = bool (*)(std::string_view)>
std::size_t each_field(
    const hdx_bench::FieldSet& set, Call call, Keep keep = [](std::string_view) { return true; }) {
  std::string buf;
  char out[1024];
  std::size_t calls = 0;
  for (std::size_t i = 0; i < set.count(); ++i) {
    if (!keep(set.at(i))) continue;
    buf.assign(set.at(i));
    call(buf, out);
    ++calls;
  }
  return calls;
}

std::size_t run(std::string_view job) {
  using hdx_bench::FieldSet;
  const auto len = [](const std::string& b) { return static_cast<std::uint32_t>(b.size()); };
  char* ip = nullptr;
  std::uint32_t ip_len = 0;
  if (job == "from") {
    return each_field(hdx_bench::from_fields(kFields), [&](std::string& b, char* out) {
      HDXExtractSenderEmailAddrFromFromHdrField(b.data(), len(b), out, 1024);
    });
  }
  if (job == "received") {
    return each_field(hdx_bench::received_fields(kFields), [&](std::string& b, char*) {
      HDXExtractSenderIPFromRcvdHdrField(b.data(), len(b), &ip, &ip_len);
    });
  }
  if (job == "smtp") {
    return each_field(hdx_bench::smtp_commands(kFields), [&](std::string& b, char* out) {
      HDXExtractEmailAddrFromReverseOrForwardPath(b.data(), len(b), out, 1024);
    });
  }
  if (job.starts_with("from/") || job.starts_with("smtp/")) {
    const bool from = job.starts_with("from/");
    const std::string_view kind = job.substr(5);
    return each_field(
        from ? hdx_bench::from_fields(kFields) : hdx_bench::smtp_commands(kFields),
        [&](std::string& b, char* out) {
          if (from) {
            HDXExtractSenderEmailAddrFromFromHdrField(b.data(), len(b), out, 1024);
          } else {
            HDXExtractEmailAddrFromReverseOrForwardPath(b.data(), len(b), out, 1024);
          }
        },
        [&](std::string_view field) {
          return (from ? hdx_bench::from_kind(field) : hdx_bench::length_kind(field)) == kind;
        });
  }
  if (job == "unfold") {
    const auto unfold = [&](std::string& b, char*) { HDXUnfoldEmailHdrLine(b.data(), len(b)); };
    return each_field(hdx_bench::from_fields(kFields), unfold) +
           each_field(hdx_bench::received_fields(kFields), unfold);
  }
  if (job == "unfold_short") {  // the From fields of 64 bytes or fewer that hold no fold
    const hdx_bench::FieldSet set = hdx_bench::from_fields(kFields);
    std::size_t calls = 0;
    for (std::size_t i = 0; i < set.count(); ++i) {
      std::string b(set.at(i));
      if (b.size() > 64 || b.find("\n ") != std::string::npos ||
          b.find("\n\t") != std::string::npos) {
        continue;
      }
      HDXUnfoldEmailHdrLine(b.data(), len(b));
      ++calls;
    }
    return calls;
  }
  if (job == "unfold_block") {  // the realistic 1 MiB header block, as one buffer
    std::string block = hdx_bench::header_block(1 << 20);
    HDXUnfoldEmailHdrLine(block.data(), len(block));
    return 1;
  }
  if (job == "unfold_no_eol") {  // 1 MiB without a line end: the search for LF alone
    std::string block(1 << 20, 'x');
    HDXUnfoldEmailHdrLine(block.data(), len(block));
    return 1;
  }
  for (const hdx_bench::Shape& shape : hdx_bench::kShapes) {
    if (job != shape.label) continue;
    std::string input = shape.make(1 << 20);
    hdx_bench::call(shape.entry, input);
    return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t calls = argc == 2 ? run(argv[1]) : 0;
  if (calls == 0) {
    std::fputs(
        "usage: hdx_count from|from/KIND|received|smtp|smtp/short|smtp/long|unfold|unfold_short|"
        "unfold_block|unfold_no_eol|HOSTILE_SHAPE\n",
        stderr);
    return 2;
  }
  std::printf("%zu\n", calls);
  return 0;
}
