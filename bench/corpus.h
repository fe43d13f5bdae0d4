// Realistic inputs for the same-run comparisons: sets of From fields, Received fields and SMTP
// commands, and whole header blocks, generated from a fixed seed so every run sees the same bytes.
// The shapes and their shares are stated next to each generator in corpus.cpp.
#ifndef HDX_BENCH_CORPUS_H
#define HDX_BENCH_CORPUS_H

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace hdx_bench {

// Many fields (or commands) laid end to end in one string.
struct FieldSet {
  std::string bytes;
  std::vector<std::uint32_t> starts;  // one past the last is bytes.size()
  std::size_t longest = 0;

  std::size_t count() const { return starts.size(); }
  std::string_view at(std::size_t i) const {
    const std::size_t end = i + 1 < starts.size() ? starts[i + 1] : bytes.size();
    return std::string_view(bytes).substr(starts[i], end - starts[i]);
  }
  void add(const std::string& field);
};

FieldSet from_fields(std::size_t n);
FieldSet received_fields(std::size_t n);
FieldSet smtp_commands(std::size_t n);
// Whole header sections of typical messages, laid end to end until `size` bytes.
std::string header_block(std::size_t size);
// The same header sections, one a message.
std::vector<std::string> header_sections(std::size_t n);

// What a field or command is, for the figures by kind ("plain_short", "long"): whether it fits
// one span of 64 bytes and, for a From field, what its content, the line end left out, holds that
// needs unfolding or cutting. Where the realistic average goes, and so what a change to one path
// is worth.
std::string length_kind(std::string_view field);
std::string from_kind(std::string_view field);
// The From kinds that the realistic set holds more than a few of.
inline constexpr const char* kFromKinds[] = {
    "plain_short",   "plain_long",   "comment_short",        "encoded_short",
    "encoded_long", "folded_short", "folded_comment_short"};

}  // namespace hdx_bench

#endif  // HDX_BENCH_CORPUS_H
