// What the admin's policy does with the checks that fire: refuse a message, hold it, or only mark
// it, for which clients, and with which exceptions. One parser and one evaluator, so that every
// host reads the same file alike and takes the same action for the same message.
#ifndef HDX_COMMON_POLICY_H
#define HDX_COMMON_POLICY_H

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "checks.h"

namespace hdx_common {

// An address, IPv4 ones mapped into IPv6.
using Address = std::array<std::uint8_t, 16>;

// An address range.
struct Network {
  Address address{};
  unsigned prefix = 128;
  bool contains(const Address& a) const;
};

struct Exemption {
  Check check;
  std::string domain;  // as written, without a trailing dot
};

struct Policy {
  Checks reject, quarantine;           // reject wins where both name a check that fires
  std::vector<Network> trusted_hosts;  // only marked; the loopback addresses unless set
  bool act_on_authenticated = false;   // authenticated clients are only marked unless set
  std::vector<Exemption> exempt;

  Policy();
  // The policy as a file would say it, for --check-config.
  std::string describe() const;
};

// A policy from lines of "key = value" ("#" starts a comment): reject, quarantine, trusted-hosts,
// authenticated and exempt (which may repeat), and the keys in `host_keys`, which the host reads
// itself and are skipped here. An unknown key, check, address range or domain is an error:
// nullopt, with `error` saying "FILE:LINE: why".
std::optional<Policy> parse_policy(std::string_view text, std::string_view file,
                                   const std::vector<std::string_view>& host_keys,
                                   std::string& error);

// What a host knows of the message beyond its checks.
struct Client {
  std::string_view address;  // as the MTA reports it; empty for a local submission
  bool authenticated = false;
};

enum class Action { Mark, Quarantine, Reject };
constexpr std::string_view kActionNames[] = {"mark", "quarantine", "reject"};

struct Decision {
  Action action = Action::Mark;
  Checks acted;             // the checks the action is for
  std::string_view spared;  // why a check the lists name was not acted on; empty if none was
};

// The action for a message whose checks `fired`, read by `id` (its envelope and From domains
// for the exemptions), from `client`.
Decision decide(const Policy& policy, Checks fired, const Identity& id, const Client& client);

// The action as every host writes it: "mark", or the action and the checks it is for
// ("reject:from-multiple", "quarantine:from-list,from-display-address").
std::string action_text(const Decision& decision);

// The domain an exemption from `check` is for: the envelope sender's for envelope-mismatch, whose
// envelope is in question, the From address's for the others; empty where there is none.
std::string_view exemption_domain(Check check, const Identity& id);

}  // namespace hdx_common

#endif  // HDX_COMMON_POLICY_H
