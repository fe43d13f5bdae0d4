// What a host learns about one message (the connection's peer, the envelope, the identity fields
// of the header, each read with libhdx) and the two forms it writes them in: the added header
// field and the log's JSON line. Memory comes from a resource the host picks, so that a host that
// must not call malloc (a module inside an MTA) hands over its MTA's own store.
#ifndef HDX_COMMON_IDENTITY_H
#define HDX_COMMON_IDENTITY_H

#include <cstddef>
#include <memory_resource>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace hdx_common {

// Caps on what a mail server's host keeps, so that its memory stays bounded whatever a client
// sends: a header field or command longer than kMaxField is not read (its item is empty), and a
// message keeps at most kMaxItems recipients and Received fields.
constexpr std::size_t kMaxField = 128 * 1024;
constexpr std::size_t kMaxItems = 100;
struct Caps {
  std::size_t field = kMaxField;
  std::size_t items = kMaxItems;
};
// For a host whose input is bounded already, as the command's header sections are.
constexpr Caps kNoCaps{SIZE_MAX, SIZE_MAX};

using Text = std::pmr::string;
// An extracted value; empty when there was nothing to read or the library found nothing.
using Item = std::optional<Text>;
using Items = std::pmr::vector<Item>;
class Checks;

struct Identity {
  explicit Identity(std::pmr::memory_resource* memory = std::pmr::get_default_resource(),
                    Caps caps = {});

  Caps caps;
  Text peer;
  Item envelope_from;
  bool has_envelope = false;  // a MAIL FROM was read: the host is an MTA's, not a mailbox reader
  Items rcpt;
  Item from, return_path;  // of the first field of each name
  Items received;          // one per Received field, top to bottom
  bool seen_return_path = false;
  // The first Sender field's address, read as From is: the agent that transmitted the message,
  // such as a mailing list, for the sender checks.
  Item sender;
  bool seen_sender = false;
  // The client of a message read from a mailbox: the address in its topmost Received field that
  // names one, as the receiving MTA wrote it, and whether that hop's protocol says the client
  // authenticated (ESMTPA, ESMTPSA, LMTPA and the like).
  Text relay;
  bool relay_authenticated = false;
  // How many From fields, and the first one's value as it came, folds included (empty when it is
  // over the cap), for the sender checks.
  std::size_t from_fields = 0;
  Text first_from;

  // The envelope sender the sender checks compare with: MAIL FROM where the host has an
  // envelope, else the Return-Path field that final delivery writes (a mailbox's message).
  const Item& envelope_sender() const { return has_envelope ? envelope_from : return_path; }

  // A new envelope on the same connection: everything but the peer starts again.
  void start_message();
  // A "MAIL FROM:" or "RCPT TO:" command as the client sent it, path and parameters, without its
  // line end.
  void mail_from(std::string_view command);
  void rcpt_to(std::string_view command);
  // One header field as an MTA hands it over: its name without the colon, and its value with
  // folds ended by LF alone or CR LF and without the field's last line end. Either form ends at
  // its first NUL byte, if any, as the milter protocol hands a value over: a host that gets the
  // bytes after it (Exim) must not read another field than one that cannot.
  void header(std::string_view name, std::string_view value);
  // One whole field exactly as it stands in a message; the library reads it byte for byte.
  void field(std::string_view whole);

  std::pmr::memory_resource* memory() const { return rcpt.get_allocator().resource(); }

 private:
  // Which item a field of this name goes to, if any: the first From, Return-Path and Sender, each
  // Received field up to the cap. A field's item is claimed before its text is copied.
  enum class Slot { None, From, ReturnPath, Sender, Received };
  Slot claim(std::string_view name);
  void read(Slot slot, Text& text);
};

// The name of the field that hosts add, unless the admin names another.
constexpr std::string_view kFieldName = "X-HDX-Identity";

// The added field's value: "peer=...; envelope-from=...; rcpt=...; from=...; return-path=...;
// received-ip=...; checks=...; action=...", and "; spared=..." where the policy spared the message
// a check it names, as the log says them; folded so that no line reaches 998 bytes. `name_len` is
// the field name's length, which the first line also holds.
Text field_value(const Identity& id, const Checks& fired, std::size_t name_len,
                 std::string_view action, std::string_view spared = {});
// One JSON object, and its line end, for a log: the identity, its checks, the action taken, and
// where the policy spared a message a check it names, why ("spared", left out otherwise).
std::string log_line(const Identity& id, const Checks& fired, std::string_view queue_id,
                     std::string_view action, std::string_view spared = {});

}  // namespace hdx_common

#endif  // HDX_COMMON_IDENTITY_H
