// The admin's policy: its file, and the action it takes.
#include "policy.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstring>

#include "domains.h"
#include "fields.h"

namespace hdx_common {
namespace {

constexpr auto npos = std::string_view::npos;

// An IPv4 or IPv6 address as 16 bytes, IPv4 mapped into IPv6; nullopt for anything else. It runs
// for every message whose checks the policy names, so it copies to the stack, not the heap, and
// asks inet_pton once, for the family the text can be.
std::optional<Address> address_bytes(std::string_view text) {
  // As a Received field's domain literal writes an IPv6 address.
  if (text.size() > 5 && equal_ignoring_case(text.substr(0, 5), "IPv6:")) text.remove_prefix(5);
  char s[INET6_ADDRSTRLEN];
  if (text.size() >= sizeof s) return std::nullopt;
  std::memcpy(s, text.data(), text.size());
  s[text.size()] = '\0';
  Address a{};
  const bool v6 = text.find(':') != npos;
  if (!v6) a[10] = a[11] = 0xff;
  if (inet_pton(v6 ? AF_INET6 : AF_INET, s, a.data() + (v6 ? 0 : 12)) != 1) return std::nullopt;
  return a;
}

// "ADDRESS" or "ADDRESS/BITS".
std::optional<Network> network(std::string_view text) {
  const std::size_t slash = text.find('/');
  const auto address = address_bytes(text.substr(0, slash));
  if (!address) return std::nullopt;
  const bool v4 = text.find(':') == npos;
  unsigned prefix = v4 ? 32 : 128;
  if (slash != npos) {
    const std::string_view bits = text.substr(slash + 1);
    if (bits.empty() || bits.size() > 3 || bits.find_first_not_of("0123456789") != npos) {
      return std::nullopt;
    }
    prefix = static_cast<unsigned>(std::stoul(std::string(bits)));
    if (prefix > (v4 ? 32u : 128u)) return std::nullopt;
  }
  return Network{*address, v4 ? prefix + 96 : prefix};
}

// A domain as an admin writes one: labels of letters, digits and hyphens, or of characters beyond
// ASCII (an IDN), separated by dots; a trailing dot is dropped.
std::optional<std::string_view> domain(std::string_view d) {
  if (!d.empty() && d.back() == '.') d.remove_suffix(1);
  bool label_empty = true;
  for (const char c : d) {
    const bool word = (ascii_lower(c) >= 'a' && ascii_lower(c) <= 'z') || (c >= '0' && c <= '9') ||
                      c == '-' || static_cast<unsigned char>(c) >= 0x80;
    if (c == '.' && label_empty) return std::nullopt;
    if (c != '.' && !word) return std::nullopt;
    label_empty = c == '.';
  }
  if (label_empty) return std::nullopt;
  return d;
}

// child is domain or one of its subdomains, by whole labels, ASCII case aside.
bool goes_with(std::string_view child, std::string_view domain) {
  while (!child.empty() && child.back() == '.') child.remove_suffix(1);
  if (child.size() < domain.size()) return false;
  const std::size_t cut = child.size() - domain.size();
  return equal_ignoring_case(child.substr(cut), domain) && (cut == 0 || child[cut - 1] == '.');
}

}  // namespace

bool Network::contains(const Address& a) const {
  const unsigned whole = prefix / 8, rest = prefix % 8;  // bytes, then bits of the next one
  const unsigned mask = 0xFF00u >> rest & 0xFFu;
  return std::equal(a.begin(), a.begin() + whole, address.begin()) &&
         (rest == 0 || (a[whole] & mask) == (address[whole] & mask));
}

Policy::Policy() : trusted_hosts{*network("127.0.0.0/8"), *network("::1")} {}

std::string Policy::describe() const {
  const auto list = [](std::string_view key, const Checks& checks) {
    return std::string(key) + " =" + (checks.empty() ? "" : " ") + std::string(checks.names(',')) +
           "\n";
  };
  std::string out = list("reject", reject) + list("quarantine", quarantine) + "trusted-hosts =";
  for (std::size_t i = 0; i < trusted_hosts.size(); ++i) {
    const Network& n = trusted_hosts[i];
    const bool v4 =
        n.prefix >= 96 && n.address[10] == 0xff && n.address[11] == 0xff &&
        std::all_of(n.address.begin(), n.address.begin() + 10, [](auto b) { return b == 0; });
    char text[INET6_ADDRSTRLEN];
    inet_ntop(v4 ? AF_INET : AF_INET6, n.address.data() + (v4 ? 12 : 0), text, sizeof text);
    out +=
        (i == 0 ? " " : ", ") + std::string(text) + "/" + std::to_string(n.prefix - (v4 ? 96 : 0));
  }
  out += std::string("\nauthenticated = ") + (act_on_authenticated ? "act" : "mark") + "\n";
  for (const Exemption& e : exempt) {
    out += "exempt = " + std::string(kCheckNames[static_cast<std::size_t>(e.check)]) + ": " +
           e.domain + "\n";
  }
  return out;
}

std::optional<Policy> parse_policy(std::string_view text, std::string_view file,
                                   const std::vector<std::string_view>& host_keys,
                                   std::string& error) {
  Policy policy;
  bool trusted_set = false;
  std::size_t number = 0;
  const auto fail = [&](const std::string& why) {
    error = std::string(file) + ":" + std::to_string(number) + ": " + why;
    return std::nullopt;
  };
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    const std::string_view line = trim_blanks(text.substr(0, end));
    text.remove_prefix(end == npos ? text.size() : end + 1);
    ++number;
    if (line.empty() || line[0] == '#') continue;
    const std::size_t eq = line.find('=');
    if (eq == npos) return fail("not a \"key = value\" line: " + std::string(line));
    const std::string_view key = trim_blanks(line.substr(0, eq)),
                           value = trim_blanks(line.substr(eq + 1));
    std::string unknown;
    if (key == "reject" || key == "quarantine") {
      const auto checks = Checks::parse(value, unknown);
      if (!checks) return fail("no such check: " + unknown);
      (key == "reject" ? policy.reject : policy.quarantine) = *checks;
    } else if (key == "trusted-hosts") {
      if (!trusted_set) policy.trusted_hosts.clear();
      trusted_set = true;
      for (const std::string_view item : list_items(value)) {
        const auto n = network(item);
        if (!n) return fail("not an address or address range: " + std::string(item));
        policy.trusted_hosts.push_back(*n);
      }
    } else if (key == "authenticated") {
      if (value != "mark" && value != "act") {
        return fail("authenticated is mark or act, not " + std::string(value));
      }
      policy.act_on_authenticated = value == "act";
    } else if (key == "exempt") {
      const std::size_t colon = value.find(':');
      const auto check = Checks::parse(trim_blanks(value.substr(0, colon)), unknown);
      if (colon == npos || !check || check->empty()) {
        return fail("exempt is CHECK: DOMAIN, ...; no such check: " +
                    std::string(trim_blanks(value.substr(0, colon))));
      }
      for (const std::string_view item : list_items(value.substr(colon + 1))) {
        const auto d = domain(item);
        if (!d) return fail("not a domain: " + std::string(item));
        check->for_each_check([&](Check c) { policy.exempt.push_back({c, std::string(*d)}); });
      }
    } else if (std::find(host_keys.begin(), host_keys.end(), key) == host_keys.end()) {
      return fail("unknown key: " + std::string(key));
    }
  }
  return policy;
}

Decision decide(const Policy& policy, Checks fired, const Identity& id, const Client& client) {
  Decision d;
  Checks listed = fired & (policy.reject | policy.quarantine);
  if (listed.empty()) return d;
  if (const auto address = address_bytes(client.address)) {
    for (const Network& n : policy.trusted_hosts) {
      if (n.contains(*address)) {
        d.spared = "trusted-host";
        return d;
      }
    }
  }
  if (client.authenticated && !policy.act_on_authenticated) {
    d.spared = "authenticated";
    return d;
  }
  for (const Exemption& e : policy.exempt) {
    if (listed.has(e.check) && goes_with(exemption_domain(e.check, id), e.domain)) {
      listed.remove(e.check);
      d.spared = "exempt";
    }
  }
  d.acted = listed & policy.reject;
  if (!d.acted.empty()) {
    d.action = Action::Reject;
  } else if (d.acted = listed & policy.quarantine; !d.acted.empty()) {
    d.action = Action::Quarantine;
  }
  return d;
}

std::string action_text(const Decision& decision) {
  std::string text(kActionNames[static_cast<int>(decision.action)]);
  if (!decision.acted.empty()) text += ":" + std::string(decision.acted.names(','));
  return text;
}

std::string_view exemption_domain(Check check, const Identity& id) {
  const Item& address = check == Check::EnvelopeMismatch ? id.envelope_sender() : id.from;
  return address ? domain_of(*address) : std::string_view();
}

}  // namespace hdx_common
