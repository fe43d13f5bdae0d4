// The filter's side of the milter protocol, given what MTAs send: each row is a byte stream from
// the MTA and the replies it must get, written out one per packet. Every row is also fed one byte
// at a time, and must get the same replies.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "cases.h"
#include "milter_packets.h"
#include "protocol.h"

namespace {

using hdx_test::be32;
using hdx_test::negotiation;
using hdx_test::packet;
using hdx_test::value;
using namespace std::string_literals;
constexpr auto npos = std::string::npos;
const std::string kConnect = packet('C', "mx.example\0"s "4\x00\x19" "192.0.2.1\0"s);
const std::string kEnvelope = packet('M', "<ann@example.org>\0SIZE=10\0"s) +
                              packet('R', "<bob@example.net>\0"s);
std::string field(const std::string& name, const std::string& value) {
  return packet('L', name + '\0' + value + '\0');
}
const std::string kMessage = kEnvelope + packet('T') + field("From", " <ann@example.org>") +
                             packet('N') + packet('E');

std::uint32_t be32_at(const std::string& s, std::size_t at) {
  std::uint32_t n = 0;
  for (int i = 0; i < 4; ++i) n = n << 8 | static_cast<unsigned char>(s[at + i]);
  return n;
}

// The replies as text: the code, then the data with each NUL written "|" and numbers in hex.
std::string readable(const std::string& replies) {
  std::string text;
  for (std::size_t at = 0; at + 5 <= replies.size(); at += 4 + be32_at(replies, at)) {
    const char code = replies[at + 4];
    text += (text.empty() ? "" : " ") + std::string(1, code);
    std::string data = replies.substr(at + 5, be32_at(replies, at) - 1);
    // The numbers: a negotiation's version, actions and steps; a change's field index.
    for (int i = code == 'O' ? 3 : code == 'm'; i > 0 && data.size() >= 4; --i, data.erase(0, 4)) {
      char hex[12];
      std::snprintf(hex, sizeof hex, " %x", be32_at(data, 0));
      text += hex;
    }
    std::replace(data.begin(), data.end(), '\0', '|');
    if (!data.empty()) text += " " + data;
  }
  return text;
}

struct Row {
  const char* name;
  std::string mta;
  const char* replies;
  bool open = true;
};

const Row kRows[] = {
    {"version 2: a reply to every step, values without their leading space",
     negotiation(2, 0x7f) + kConnect + kMessage,
     "O 2 11 52 c c c c c c h X-HDX-Identity|peer=192.0.2.1; envelope-from=ann@example.org;\n"
     "\trcpt=bob@example.net; from=ann@example.org; return-path=; received-ip=;\n"
     "\tchecks=; action=mark| c"},
    {"an abort, then a second message on the connection", negotiation() + kConnect +
     packet('M', "<eve@x>\0"s) + field("From", " <eve@x>") + packet('A') + packet('D', "Ei\0Q\0"s) +
     kEnvelope + field("From", " <ann@example.org>") + packet('E'),
     "O 6 11 10d1d2 h X-HDX-Identity| peer=192.0.2.1; envelope-from=ann@example.org;\n"
     "\trcpt=bob@example.net; from=ann@example.org; return-path=; received-ip=;\n"
     "\tchecks=; action=mark| c"},
    {"a new connection after QUIT_NC forgets the peer", negotiation() + kConnect + packet('K') +
     kEnvelope + packet('E'), "O 6 11 10d1d2 h X-HDX-Identity| peer=; envelope-from=ann@example.org;"
     " rcpt=bob@example.net;\n\tfrom=; return-path=; received-ip=; checks=from-missing;"
     " action=mark| c"},
    {"steps the filter does not read, and unknown commands, go on",
     negotiation() + packet('H', "x\0"s) + packet('U', "VRFY\0"s) + packet('B', "body") +
     packet('Z'), "O 6 11 10d1d2 c c c c"},
    {"IPv6 peer, written as inet_ntop writes it", negotiation() +
     packet('C', "h\0"s "6\x00\x19" "iPv6:2001:DB8:0:0::1\0"s) + kEnvelope + packet('E'),
     "O 6 11 10d1d2 h X-HDX-Identity| peer=2001:db8::1; envelope-from=ann@example.org;\n"
     "\trcpt=bob@example.net; from=; return-path=; received-ip=; checks=from-missing;\n"
     "\taction=mark| c"},
    {"forged fields under the added name deleted, the last first", negotiation() + kEnvelope +
     field("X-HDX-Identity", " a") + field("From", " <ann@example.org>") + field("x-hdx-identity ", " b") +
     packet('E'), "O 6 11 10d1d2 m 2 X-HDX-Identity|| m 1 X-HDX-Identity|| h X-HDX-Identity| peer=; "
     "envelope-from=ann@example.org; rcpt=bob@example.net;\n\tfrom=ann@example.org; return-path=; "
     "received-ip=; checks=; action=mark| c"},
    {"QUIT closes", negotiation() + packet('Q') + packet('T'), "O 6 11 10d1d2", false},
    {"a packet cut off is held", negotiation() + packet('T').substr(0, 4), "O 6 11 10d1d2"},
    {"a first packet that is no negotiation", kConnect, "", false},
    {"a negotiation too short", packet('O', be32(6)), "", false},
    {"a version before 2", negotiation(1), "", false},
    {"a length of 0", negotiation() + be32(0) + "T", "O 6 11 10d1d2", false},
    {"a length over the cap", negotiation() + be32(hdx_milter::kMaxPacket + 1) + "L", "O 6 11 10d1d2", false},
};

TEST(MilterProtocol, Table) {
  const hdx_milter::Filter filter;
  for (const Row& row : kRows) {
    SCOPED_TRACE(row.name);
    hdx_milter::Session whole(filter), bytewise(filter);
    std::string replies, replies_bytewise;
    EXPECT_EQ(whole.receive(row.mta, replies), row.open);
    EXPECT_EQ(readable(replies), row.replies);
    bool open = true;
    for (std::size_t i = 0; open && i < row.mta.size(); ++i) {
      open = bytewise.receive(row.mta.substr(i, 1), replies_bytewise);
    }
    EXPECT_EQ(replies_bytewise, replies);
    EXPECT_EQ(open, row.open);
  }
}

// The shared policy rows: the message sent from the row's client, logged in or not, under the
// row's policy. A refusal is 550 5.7.1 naming the checks and no change; a hold is a quarantine
// request naming them. (The live Postfix test reads the log's action and reason for the rows.)
TEST(MilterProtocol, PolicyRows) {
  for (const auto& m : hdx_test::kPolicies) {
    const std::string action = value(m, "action");
    SCOPED_TRACE(value(m, "name"));
    std::string error;
    const auto policy = hdx_common::parse_policy(value(m, "policy"), "policy", {}, error);
    if (action.rfind("error: ", 0) == 0) {
      EXPECT_EQ("error: " + error, action);
      continue;
    }
    ASSERT_TRUE(policy) << error;
    const hdx_milter::Filter filter{"X-HDX-Identity", nullptr,
                                    std::make_shared<const hdx_common::Policy>(*policy)};
    const std::string client = value(m, "peer");
    const std::string family = client.find(':') == npos ? "4" : "6";
    std::string mta =
        negotiation() +
        (client.empty() ? "" : packet('C', "h\0"s + family + "\x00\x19"s + client + '\0')) +
        packet('D', "M{auth_authen}\0"s + (value(m, "auth") == "yes" ? "ann" : "") + '\0') +
        packet('M', value(m, "mail") + '\0') + packet('R', "<bob@example.net>\0"s);
    for (const std::string& f : m.at("field")) {
      const std::string one = hdx_test::with_lf_folds(f);
      mta += field(one.substr(0, one.find(':')), one.substr(one.find(':') + 1));
    }
    std::string replies;
    hdx_milter::Session(filter).receive(mta + packet('E'), replies);
    const std::string got = readable(replies);
    EXPECT_EQ(got.find(" y 550 5.7.1 hdx: ") != npos, action == "reject") << got;
    EXPECT_EQ(got.find(" q hdx: ") != npos, action == "quarantine") << got;
    if (action != "reject") {
      const std::size_t at = got.find("X-HDX-Identity|") + 15;
      const std::string added = got.substr(at, got.find('|', at) - at);
      EXPECT_EQ(hdx_test::field_item(added, "action"), action) << got;
      EXPECT_EQ(hdx_test::field_item(added, "spared"), value(m, "spared")) << got;
    }
  }
}

}  // namespace
