// The hostile inputs of every parsing entry point, shared by the timing benchmarks and the
// instruction counts: each a shape that a size in bytes turns into one input.
#ifndef HDX_BENCH_HOSTILE_H
#define HDX_BENCH_HOSTILE_H

#include <cstdint>
#include <string>
#include <string_view>

#include "hdx.h"

namespace hdx_bench {

inline std::string repeat_to(std::string_view unit, std::size_t size) {
  std::string s;
  s.reserve(size + unit.size());
  while (s.size() < size) s += unit;
  s.resize(size);
  return s;
}

enum class Entry { kFrom, kReceived, kPath, kUnfold };

struct Shape {
  const char* label;
  Entry entry;
  std::string (*make)(std::size_t);
};

// Whole units only, so that every hostile body ends in something to extract and the whole input
// is worked through.
inline std::string units(std::string_view unit, std::size_t size) {
  return repeat_to(unit, size - size % unit.size());
}
inline std::string from(std::string_view unit, std::size_t size) {
  return "From: " + units(unit, size) + " <ab@cd>\r\n";
}
inline std::string path(std::string_view prefix, std::string_view unit, std::size_t size) {
  return "MAIL FROM:<" + std::string(prefix) + units(unit, size) + "@cd>";
}

inline constexpr Shape kShapes[] = {
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

// One call of the entry point on a hostile input, which it may change in place.
inline std::int32_t call(Entry entry, std::string& buf) {
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

}  // namespace hdx_bench

#endif  // HDX_BENCH_HOSTILE_H
