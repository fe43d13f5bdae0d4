// hdx smtp, hdx field and hdx date.
#include <cstdio>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>

#include "commands.h"
#include "fields.h"
#include "hdx.hpp"
#include "input.h"

namespace hdx_tool {
namespace {

// Where a "MAIL FROM:" or "RCPT TO:" command starts in a line, ignoring case, and its verb:
// transcripts and logs put prefixes such as timestamps or "C: " before it.
std::optional<std::pair<std::size_t, std::string_view>> find_command(std::string_view line) {
  static constexpr std::pair<std::string_view, std::string_view> kCommands[] = {
      {"mail from:", "MAIL"}, {"rcpt to:", "RCPT"}};
  for (std::size_t i = 0; i < line.size(); ++i) {
    for (const auto& [command, verb] : kCommands) {
      if (hdx_common::equal_ignoring_case(line.substr(i, command.size()), command)) {
        return std::pair{i, verb};
      }
    }
  }
  return std::nullopt;
}

std::string read_all(std::FILE* f) {
  std::string all;
  char chunk[65536];
  std::size_t n;
  while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0) all.append(chunk, n);
  return all;
}

}  // namespace

int smtp(const Options& options) {
  bool ok = true;
  std::size_t commands = 0, failures = 0;
  const auto error = [](const std::string& what) { std::fprintf(stderr, "hdx: %s\n", what.c_str()); };
  for (const auto& path : options.paths) {
    ok = read_lines(path, [&](const std::string& line, std::size_t number) {
           const auto found = find_command(line);
           if (!found) return;
           // A host hands over the command without its line terminator.
           const auto address = hdx::path_address(
               hdx_common::without_line_end(std::string_view(line).substr(found->first)));
           ++commands;
           failures += !address;
           Record(options.format)
               .text("source", path)
               .number("line", number)
               .text("command", found->second)
               .text("address", address)
               .print(stdout);
         }, error) && ok;
  }
  std::fflush(stdout);
  std::fprintf(stderr, "hdx: %zu commands, %zu failed\n", commands, failures);
  return ok ? 0 : 2;
}

int field(const std::string& kind) {
  std::string input = read_all(stdin);
  std::optional<std::string> result;
  if (kind == "from" || kind == "return-path") {
    result = hdx::sender_address_in_place(input);
  } else if (kind == "received") {
    if (const auto ip = hdx::sender_ip_in_place(input)) result = std::string(*ip);
  } else {
    // A command's line terminator is not part of its path, as in hdx smtp.
    result = hdx::path_address(hdx_common::without_line_end(input));
  }
  if (!result) return 1;
  std::fwrite(result->data(), 1, result->size(), stdout);
  std::fputc('\n', stdout);
  return 0;
}

int date() {
  const auto now = hdx::current_date();
  if (!now) return 1;
  std::printf("%s\n", now->c_str());
  return 0;
}

}  // namespace hdx_tool
