// Writes the realistic sets of the same-run comparisons to files, so that benchmarks in other
// languages measure the very same bytes: DIR/from.bin, DIR/received.bin and DIR/smtp.bin, each
// field as a 4-byte little-endian length and its bytes.
#include <cstdint>
#include <cstdio>
#include <string>

#include "corpus.h"

namespace {

bool dump(const hdx_bench::FieldSet& set, const std::string& path) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  for (std::size_t i = 0; i < set.count(); ++i) {
    const std::string_view field = set.at(i);
    const auto n = static_cast<std::uint32_t>(field.size());
    unsigned char length[4];
    for (int i = 0; i < 4; ++i) length[i] = static_cast<unsigned char>(n >> (8 * i));
    std::fwrite(length, 1, sizeof length, f);
    std::fwrite(field.data(), 1, field.size(), f);
  }
  return std::fclose(f) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fputs("usage: hdx_corpus_dump DIR COUNT\n", stderr);
    return 2;
  }
  const std::string dir = argv[1];
  const std::size_t n = std::stoul(argv[2]);
  const bool written = dump(hdx_bench::from_fields(n), dir + "/from.bin") &&
                       dump(hdx_bench::received_fields(n), dir + "/received.bin") &&
                       dump(hdx_bench::smtp_commands(n), dir + "/smtp.bin");
  if (!written) std::perror("hdx_corpus_dump");
  return written ? 0 : 1;
}
