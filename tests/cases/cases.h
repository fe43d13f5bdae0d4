// The shared cases of tests/cases/ for the C++ tests: the rows of fields.tsv and primitives.tsv,
// and messages.txt's messages. Both files are read where the build says they are (HDX_CASES_DIR).
#ifndef HDX_TESTS_CASES_H
#define HDX_TESTS_CASES_H

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace hdx_test {

// A cell's bytes: \r \n \t \\ and \xHH stand for what they name.
inline std::string unescape(std::string_view s) {
  std::string out;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] != '\\' || i + 1 == s.size()) {
      out += s[i];
    } else if (s[++i] == 'x') {
      out += static_cast<char>(std::stoi(std::string(s.substr(i + 1, 2)), nullptr, 16));
      i += 2;
    } else {
      out += s[i] == 'r' ? '\r' : s[i] == 'n' ? '\n' : s[i] == 't' ? '\t' : s[i];
    }
  }
  return out;
}

// The lines of a case file that are not comments; blank ones end the messages of messages.txt.
inline std::vector<std::string> case_lines(const std::string& file) {
  std::ifstream in(std::string(HDX_CASES_DIR) + "/" + file);
  EXPECT_TRUE(in) << file;
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) {
    if (line.rfind('#', 0) != 0) lines.push_back(line);
  }
  return lines;
}

// The rows of a tab-separated case file, each `columns` cells long, every cell unescaped.
inline std::vector<std::vector<std::string>> rows(const std::string& file, std::size_t columns) {
  std::vector<std::vector<std::string>> all;
  for (const std::string& line : case_lines(file)) {
    if (line.empty()) continue;
    std::vector<std::string>& cells = all.emplace_back();
    for (std::size_t at = 0, tab = 0; tab != std::string::npos; at = tab + 1) {
      tab = line.find('\t', at);
      cells.push_back(unescape(line.substr(at, tab - at)));  // the last cell: up to the end
    }
    cells.resize(columns);
  }
  return all;
}

struct FieldCase {
  std::string kind, name, input;
  std::optional<std::string> result, after;  // none: nothing is read; the buffer is not pinned
};

inline std::vector<FieldCase> field_cases() {
  std::vector<FieldCase> cases;
  for (auto& r : rows("fields.tsv", 5)) {
    cases.push_back({r[0], r[1], r[2], r[3] == "-" ? std::nullopt : std::optional(r[3]),
                     r[4].empty() ? std::nullopt : std::optional(r[4])});
  }
  return cases;
}

// A message as an MTA hands it to a host: every key's values, in order. Blocks of "key: value"
// lines, a blank line after each.
using MessageCase = std::map<std::string, std::vector<std::string>>;

inline std::vector<MessageCase> message_cases() {
  std::vector<MessageCase> messages(1);
  for (const std::string& line : case_lines("messages.txt")) {
    const std::size_t colon = line.find(':');
    if (line.empty() && !messages.back().empty()) messages.emplace_back();
    if (!line.empty()) {
      messages.back()[line.substr(0, colon)].push_back(
          unescape(line.substr(colon + 1 + (line.compare(colon + 1, 1, " ") == 0))));
    }
  }
  if (messages.back().empty()) messages.pop_back();
  return messages;
}

// One value of a key, or "" where the message has none; several are joined by LF, as the lines
// of a folded value are.
inline std::string value(const MessageCase& m, const std::string& key) {
  const auto it = m.find(key);
  std::string joined;
  for (std::size_t i = 0; it != m.end() && i < it->second.size(); ++i) {
    joined += (i == 0 ? "" : "\n") + it->second[i];
  }
  return joined;
}

// The checks item of an added field's value, the last, unfolded.
inline std::string checks_item(const std::string& value) {
  const std::size_t at = value.rfind("checks=");
  std::string item = at == std::string::npos ? "?" : value.substr(at + 7);
  for (std::size_t fold; (fold = item.find("\n\t")) != std::string::npos;) item.erase(fold, 2);
  return item;
}

}  // namespace hdx_test

#endif  // HDX_TESTS_CASES_H
