// The milter protocol, as the filter speaks it: what it asks for in negotiation, what each
// command does to the connection's state, and which commands get a reply.
#include "protocol.h"

#include <arpa/inet.h>

#include <algorithm>
#include <new>

#include "fields.h"
#include "identity.h"

namespace hdx_milter {
namespace {

// Protocol version 6 is the one that lets the filter ask for no reply to a step; an MTA of an
// older version gets the older one, and a reply to every step.
constexpr std::uint32_t kVersion = 6, kOldestVersion = 2;

// Actions: the filter adds its field and deletes fields forged under its name, and where the admin
// asks it to hold messages, quarantines them.
constexpr std::uint32_t kAddHeaders = 0x01, kChangeHeaders = 0x10, kQuarantine = 0x20;

// Steps the filter never reads: the MTA is asked not to send them at all. DATA is kept, and
// answered: the MTA holds what it sends unanswered until it next waits for an answer, and at DATA
// that sends the envelope off before the SMTP client's message comes in. Without that wait, what
// was held goes out just before the header fields, which Nagle's algorithm on the MTA's side then
// holds back until the filter acknowledges it, up to 40 ms later.
constexpr std::uint32_t kNoHelo = 0x02, kNoBody = 0x10, kNoEndOfHeaders = 0x40,
                        kNoUnknown = 0x100;
// Steps the filter reads but always lets go on: the MTA is asked not to wait for a reply, which
// saves a round trip, and so a wake-up on either side, for each of them.
constexpr std::uint32_t kNoReplyHeader = 0x80, kNoReplyConnect = 0x1000, kNoReplyHelo = 0x2000,
                        kNoReplyMail = 0x4000, kNoReplyRcpt = 0x8000, kNoReplyData = 0x10000,
                        kNoReplyUnknown = 0x20000, kNoReplyEndOfHeaders = 0x40000,
                        kNoReplyBody = 0x80000;
// Header values with their leading space, so that each field is rebuilt exactly; and packets of
// up to 1 MiB, so that a long field comes whole.
constexpr std::uint32_t kLeadingSpace = 0x100000, kPackets1M = 0x20000000;
constexpr std::uint32_t kStepsWanted = kNoHelo | kNoBody | kNoEndOfHeaders | kNoUnknown |
                                       kNoReplyConnect | kNoReplyMail | kNoReplyRcpt |
                                       kNoReplyHeader | kLeadingSpace | kPackets1M;

// The no-reply flag of each step the MTA may send; 0 for one that always gets a reply.
std::uint32_t no_reply_flag(char command) {
  switch (command) {
    case 'C': return kNoReplyConnect;
    case 'H': return kNoReplyHelo;
    case 'M': return kNoReplyMail;
    case 'R': return kNoReplyRcpt;
    case 'T': return kNoReplyData;
    case 'U': return kNoReplyUnknown;
    case 'L': return kNoReplyHeader;
    case 'N': return kNoReplyEndOfHeaders;
    case 'B': return kNoReplyBody;
    default: return 0;
  }
}

std::uint32_t big_endian(std::string_view bytes) {
  std::uint32_t n = 0;
  for (int i = 0; i < 4; ++i) n = n << 8 | static_cast<unsigned char>(bytes[i]);
  return n;
}

void put_big_endian(std::string& out, std::uint32_t n) {
  for (int shift = 24; shift >= 0; shift -= 8) out += static_cast<char>(n >> shift & 0xff);
}

// A reply packet: its length, the reply's byte, and the data. Appended whole or not at all, so
// that running out of memory never leaves half a packet for the MTA.
void reply(std::string& out, char code, std::string_view data = {}) {
  std::string packet;
  put_big_endian(packet, static_cast<std::uint32_t>(data.size() + 1));
  (packet += code) += data;
  out += packet;
}

// The next NUL-ended string of `data`, taken off it; the rest of `data` where no NUL is left.
std::string_view next_string(std::string_view& data) {
  const std::size_t end = data.find('\0');
  const std::string_view s = data.substr(0, end);
  data.remove_prefix(end == std::string_view::npos ? data.size() : end + 1);
  return s;
}

// The client's address as the connect step gives it, written as inet_ntop writes it; empty for a
// local client, and for an address that is none.
std::string peer_address(std::string_view data) {
  next_string(data);  // the client's host name
  if (data.size() < 3 || (data[0] != '4' && data[0] != '6')) return {};
  const int family = data[0] == '4' ? AF_INET : AF_INET6;
  data.remove_prefix(3);  // the family and the port
  std::string text(next_string(data));
  // An address literal's tag, which Sendmail writes before the address; its case is free.
  if (family == AF_INET6 && hdx_common::equal_ignoring_case(text.substr(0, 5), "IPv6:")) {
    text.erase(0, 5);
  }
  unsigned char address[16];
  char written[INET6_ADDRSTRLEN] = "";
  if (inet_pton(family, text.c_str(), address) != 1 ||
      inet_ntop(family, address, written, sizeof written) == nullptr) {
    return {};
  }
  return written;
}

}  // namespace

bool Session::receive(std::string_view bytes, std::string& replies) {
  // Packets are taken straight from the new bytes; only an incomplete one is copied and held.
  if (!held_.empty()) {
    held_.append(bytes);
    bytes = held_;
  }
  bool open = true;
  while (open && bytes.size() >= 5) {
    const std::uint32_t length = big_endian(bytes);
    if (length == 0 || length > kMaxPacket) {
      fault_ = "a packet length of 0 or over 1 MiB";
      open = false;
      break;
    }
    if (bytes.size() - 4 < length) break;
    open = take(bytes[4], bytes.substr(5, length - 1), replies);
    bytes.remove_prefix(4 + length);
  }
  if (!open) {
    held_.clear();
  } else if (bytes.data() != held_.data()) {
    held_.assign(bytes);  // the rest, or nothing; `bytes` is the tail of `held_` or new bytes
  }
  return open;
}

bool Session::take(char command, std::string_view data, std::string& replies) {
  if (!negotiated_ && command != 'O') {
    fault_ = "a first packet that is no negotiation";
    return false;
  }
  const bool answered = (unanswered_ & no_reply_flag(command)) == 0;
  try {
    switch (command) {
      case 'O':
        negotiate(data, replies);
        if (!negotiated_) fault_ = "a negotiation too short or of a version before 2";
        return negotiated_;
      case 'D': macros(data); return true;
      case 'Q': return false;
      case 'K':  // a new SMTP connection on the same filter connection
        connection_.id.peer.clear();
        [[fallthrough]];
      case 'A':
        connection_.start_message();
        queue_id_.clear();
        in_message_ = false;
        return true;
      case 'E': end_of_message(replies); return true;
      case 'C': connection_.id.peer = peer_address(data); break;
      case 'M':
        connection_.mail(data);
        in_message_ = true;
        break;
      case 'R': connection_.rcpt(data); break;
      case 'L': {
        const std::string_view name = next_string(data);
        connection_.header(name, next_string(data), filter_->header);
        break;
      }
      default: break;  // steps the filter does not read, and commands it does not know
    }
  } catch (const std::bad_alloc&) {
    // Out of memory: the message goes on as it is, answered as the MTA expects.
  }
  if (answered) reply(replies, 'c');
  return true;
}

void Session::negotiate(std::string_view data, std::string& replies) {
  if (data.size() < 12 || big_endian(data) < kOldestVersion) return;
  const std::uint32_t version = std::min(big_endian(data), kVersion);
  const bool holds = !std::atomic_load(&filter_->policy)->quarantine.empty();
  actions_ = big_endian(data.substr(4)) &
             (kAddHeaders | kChangeHeaders | (holds ? kQuarantine : 0));
  const std::uint32_t steps = big_endian(data.substr(8)) & kStepsWanted;
  unanswered_ = steps;  // the no-reply flags among them; the others name no step
  connection_.lead_space = (steps & kLeadingSpace) != 0;
  negotiated_ = true;
  std::string options;
  put_big_endian(options, version);
  put_big_endian(options, actions_);
  put_big_endian(options, steps);
  reply(replies, 'O', options);
}

void Session::macros(std::string_view data) {
  // The step's letter, then pairs of name and value. The queue id is read for the log (an MTA
  // names it "i" or "{i}"), and the login of the MAIL step for the policy: Postfix and Sendmail
  // send {auth_authen} there by default, with a value where the client authenticated.
  if (data.empty()) return;
  const char step = data[0];
  data.remove_prefix(1);
  if (step == 'M') authenticated_ = false;
  while (!data.empty()) {
    const std::string_view name = next_string(data), value = next_string(data);
    if (name == "i" || name == "{i}") queue_id_.assign(value);
    if (step == 'M' && name == "{auth_authen}") authenticated_ = !value.empty();
  }
}

void Session::end_of_message(std::string& replies) {
  std::string refusal;  // the reply, where the policy refuses the message
  try {
    using hdx_common::Action;
    const hdx_common::Checks fired = connection_.checks();
    const hdx_common::Decision decision =
        hdx_common::decide(*std::atomic_load(&filter_->policy), fired, connection_.id,
                           {connection_.id.peer, authenticated_});
    std::string_view action = hdx_common::kActionNames[static_cast<int>(decision.action)];
    // An MTA that did not offer the quarantine step delivers the message: the field and the log
    // say so, rather than record a mark that the admin's list did not ask for.
    if (decision.action == Action::Quarantine && (actions_ & kQuarantine) == 0) {
      action = "quarantine-unavailable";
    }
    if (decision.action == Action::Reject) {
      refusal = "550 5.7.1 hdx: " + std::string(decision.acted.names(','));
    } else {
      mark(fired, action, decision.spared, replies);
      if (action == "quarantine") {
        reply(replies, 'q', "hdx: " + std::string(decision.acted.names(',')) + '\0');
      }
    }
    if (filter_->log != nullptr) {
      filter_->log->write(
          hdx_common::log_line(connection_.id, fired, queue_id_, action, decision.spared));
    }
  } catch (const std::bad_alloc&) {
    // The message goes on as it is.
  }
  connection_.forged = 0;
  queue_id_.clear();
  in_message_ = false;
  if (refusal.empty()) {
    reply(replies, 'c');
  } else {
    reply(replies, 'y', refusal + '\0');
  }
}

void Session::mark(const hdx_common::Checks& fired, std::string_view action,
                   std::string_view spared, std::string& replies) {
  const std::string_view own = filter_->header;
  // A field that came with the message under the filter's name was written by someone else, and
  // whatever reads the first such field downstream must read the filter's: each goes, the last
  // first so that the earlier ones keep their numbers, before the filter adds its own.
  std::string change;
  for (int n = connection_.forged; n > 0 && (actions_ & kChangeHeaders) != 0; --n) {
    change.clear();
    put_big_endian(change, static_cast<std::uint32_t>(n));
    ((change += own) += '\0') += '\0';
    reply(replies, 'm', change);
  }
  if ((actions_ & kAddHeaders) != 0) {
    std::string add(own);
    ((add += '\0') += connection_.added_value(own, fired, action, spared)) += '\0';
    reply(replies, 'h', add);
  }
}

}  // namespace hdx_milter
