// hdx scan: one record per message with its From address, its Return-Path address and the
// sender IP of every Received field, top to bottom.
#include <chrono>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "commands.h"
#include "hdx.hpp"
#include "input.h"

namespace hdx_tool {
namespace {

bool has_name(std::string_view field, std::string_view name) {
  if (field.size() < name.size()) return false;
  for (std::size_t i = 0; i < name.size(); ++i) {
    const char c = field[i];
    if ((c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c) != name[i]) return false;
  }
  return true;
}

struct Counts {
  std::size_t messages = 0, fields = 0, failures = 0, truncated = 0;
};

class Scanner {
 public:
  Scanner(const Options& options) : options_(options) {}

  void message(const Message& msg) {
    std::optional<std::string> from, return_path;
    bool seen_from = false, seen_return_path = false;
    std::vector<std::optional<std::string>> ips;
    // Each whole field, continuation lines and terminator included, as a host hands it over;
    // the library changes it in place, so it works on a copy.
    for_each_field(msg.header, [&](std::string_view raw) {
      std::string f(raw);
      if (has_name(f, "from:") && !seen_from) {
        seen_from = true;
        from = count(hdx::sender_address_in_place(f));
      } else if (has_name(f, "return-path:") && !seen_return_path) {
        seen_return_path = true;
        return_path = count(hdx::sender_address_in_place(f));
      } else if (has_name(f, "received:")) {
        const auto ip = hdx::sender_ip_in_place(f);
        ips.push_back(count(ip ? std::optional<std::string>(*ip) : std::nullopt));
      }
    });
    ++counts_.messages;
    counts_.truncated += msg.truncated;
    Record(options_.format)
        .text("source", msg.source)
        .text("from", from)
        .text("return_path", return_path)
        .list("received", ips)
        .print(stdout);
    show_progress(false);
  }

  const Counts& counts() const { return counts_; }
  void show_progress(bool last) {
    if (!options_.progress) return;
    const auto now = std::chrono::steady_clock::now();
    if (!last && now - shown_ < std::chrono::milliseconds(500)) return;
    shown_ = now;
    std::fprintf(stderr, "\rhdx: %zu messages scanned%s", counts_.messages, last ? "\n" : "");
  }

 private:
  // Splits a header section into whole fields with the library's own line-end search.
  template <class Fn>
  static void for_each_field(const std::string& header, Fn fn) {
    std::string_view rest = header;
    while (!rest.empty()) {
      std::size_t len = 0;
      while (len < rest.size()) {
        const auto end = hdx::find_line_end(rest.substr(len));
        len = end ? len + end->line_length : rest.size();
        if (len < rest.size() && rest[len] != ' ' && rest[len] != '\t') break;
      }
      fn(rest.substr(0, len));
      rest.remove_prefix(len);
    }
  }

  std::optional<std::string> count(std::optional<std::string> v) {
    ++counts_.fields;
    counts_.failures += !v;
    return v;
  }

  const Options& options_;
  Counts counts_;
  std::chrono::steady_clock::time_point shown_{};
};

}  // namespace

int scan(const Options& options) {
  Scanner scanner(options);
  bool ok = true;
  const auto sink = [&scanner](const Message& m) { scanner.message(m); };
  const auto error = [](const std::string& what) { std::fprintf(stderr, "hdx: %s\n", what.c_str()); };
  for (const auto& path : options.paths) ok = read_messages(path, sink, error) && ok;
  std::fflush(stdout);
  scanner.show_progress(true);
  const Counts& c = scanner.counts();
  std::fprintf(stderr, "hdx: %zu messages, %zu fields, %zu failed", c.messages, c.fields,
               c.failures);
  if (c.truncated != 0) std::fprintf(stderr, ", %zu header sections cut at 1 MiB", c.truncated);
  std::fprintf(stderr, "\n");
  return ok ? 0 : 2;
}

}  // namespace hdx_tool
