// The shared cases of tests/cases/ for the C++ tests: the rows of fields.tsv and primitives.tsv,
// and messages.txt's and policies.tsv's messages, as cases.py reads them and writes them into cases.inc at build time.
#ifndef HDX_TESTS_CASES_H
#define HDX_TESTS_CASES_H

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace hdx_test {

using namespace std::string_literals;
#include "cases.inc"

struct FieldCase {
  std::string kind, name, input;
  std::optional<std::string> result, after;  // none: nothing is read; the buffer is not pinned
};

inline std::vector<FieldCase> field_cases() {
  std::vector<FieldCase> cases;
  for (const auto& r : kFieldRows) {
    cases.push_back({r[0], r[1], r[2], r[3] == "-" ? std::nullopt : std::optional(r[3]),
                     r[4].empty() ? std::nullopt : std::optional(r[4])});
  }
  return cases;
}

// A message as an MTA hands it to a host: every key's values, in order.
using MessageCase = std::map<std::string, std::vector<std::string>>;

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

// One of the last items of an added field's value (checks, action, spared), unfolded; empty
// where the field has none.
inline std::string field_item(const std::string& value, const std::string& key) {
  std::size_t at = value.rfind(key + '=');
  if (at == std::string::npos || (at != 0 && value[at - 1] != ' ' && value[at - 1] != '\t')) {
    return "";
  }
  at += key.size() + 1;
  std::string item = value.substr(at, value.find(';', at) - at);
  for (std::size_t fold; (fold = item.find("\n\t")) != std::string::npos;) item.erase(fold, 2);
  return item;
}

}  // namespace hdx_test

#endif  // HDX_TESTS_CASES_H
