// The shared cases of tests/cases/ for the C++ tests: the rows of fields.tsv, primitives.tsv and
// policies.tsv, and messages.txt's messages, as cases.py reads them and writes them into cases.inc at build time.
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

// A row of policies.tsv: the policy, and a message from a client that must get the action.
struct PolicyCase {
  std::string name, policy;
  MessageCase message;  // peer (the client), mail, rcpt and field, as messages.txt has them
  bool authenticated;
  std::string action, spared;  // action: mark, quarantine, reject, or "error: " and the mistake
};

inline std::vector<PolicyCase> policy_cases() {
  std::vector<PolicyCase> cases;
  for (const auto& r : kPolicyRows) {
    MessageCase m{{"peer", {r[2]}}, {"mail", {r[4]}}, {"rcpt", {"<bob@example.net>"}}};
    // A field starts at each line that starts with no blank; the others continue it.
    for (std::size_t at = 0, end = 0; at < r[5].size(); at = end + 1) {
      for (end = r[5].find('\n', at); end != std::string::npos && end + 1 < r[5].size() &&
                                       (r[5][end + 1] == ' ' || r[5][end + 1] == '\t');) {
        end = r[5].find('\n', end + 1);
      }
      m["field"].push_back(r[5].substr(at, end - at));
      if (end == std::string::npos) break;
    }
    cases.push_back({r[0], r[1], m, r[3] == "yes", r[6], r[7]});
  }
  return cases;
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
