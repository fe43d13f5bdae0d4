// Sender checks: the tricks a message can play with the sender's identity, so that one reader of
// its header sees another sender than the next one does. Each is a function of what the identity
// gathers, so every host gets the same verdicts for the same message; hosts only act on them as
// the admin says. The order is the one hosts write them in.
#ifndef HDX_COMMON_CHECKS_H
#define HDX_COMMON_CHECKS_H

#include <array>
#include <cstdint>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>

#include "identity.h"

namespace hdx_common {

enum class Check : std::uint8_t {
  FromMissing,         // no From field
  FromMultiple,        // more than one
  FromList,            // the first names several mailboxes, or a group
  FromUnreadable,      // the library reads no address from it
  FromAmbiguous,       // it holds an address in angle brackets, and the library reads another
  FromDisplayAddress,  // its display name holds an address of another domain than the real one
  EnvelopeMismatch,    // the envelope sender's domain goes with neither the From nor the Sender
};
constexpr std::size_t kCheckCount = static_cast<std::size_t>(Check::EnvelopeMismatch) + 1;
// Indexed by Check: a check added to the enum without a name here fails to compile.
constexpr std::array<std::string_view, kCheckCount> kCheckNames = {
    "from-missing",   "from-multiple",        "from-list",        "from-unreadable",
    "from-ambiguous", "from-display-address", "envelope-mismatch"};
static_assert(!kCheckNames.back().empty(), "every check has a name");

// A set of checks.
class Checks {
 public:
  Checks() = default;
  void add(Check c) { bits_ |= static_cast<Bits>(1u << static_cast<unsigned>(c)); }
  bool empty() const { return bits_ == 0; }
  bool has(Check c) const { return (bits_ >> static_cast<unsigned>(c) & 1u) != 0; }
  void remove(Check c) { bits_ &= static_cast<Bits>(~(1u << static_cast<unsigned>(c))); }
  Checks operator&(Checks other) const { return Checks(bits_ & other.bits_); }
  Checks operator|(Checks other) const { return Checks(bits_ | other.bits_); }
  // Calls fn with each check, in order.
  template <class Fn>
  void for_each_check(Fn fn) const {
    for (unsigned i = 0; i < kCheckCount; ++i) {
      if ((bits_ >> i & 1u) != 0) fn(static_cast<Check>(i));
    }
  }
  // Calls fn with each check's name, in order.
  template <class Fn>
  void for_each(Fn fn) const {
    for_each_check([&fn](Check c) { fn(kCheckNames[static_cast<std::size_t>(c)]); });
  }
  // The names, with `separator` between them.
  Text names(char separator,
             std::pmr::memory_resource* memory = std::pmr::get_default_resource()) const;
  // A list as an admin writes it ("from-list, from-multiple"); nullopt, with `unknown` set to the
  // word, when a word names no check.
  static std::optional<Checks> parse(std::string_view list, std::string& unknown);

 private:
  using Bits = std::uint8_t;
  static_assert(kCheckCount <= 8 * sizeof(Bits), "a bit for every check");
  explicit Checks(unsigned bits) : bits_(static_cast<Bits>(bits)) {}
  Bits bits_ = 0;
};

// The checks that fire for the message the identity read, against its envelope sender
// (Identity::envelope_sender).
Checks sender_checks(const Identity& id);

// The names as the items of a list, for the added field and the records.
Items items_of(Checks fired, std::pmr::memory_resource* memory);

}  // namespace hdx_common

#endif  // HDX_COMMON_CHECKS_H
