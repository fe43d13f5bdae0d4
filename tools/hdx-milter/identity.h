// What the mail filter learns about one message: the connection's peer, the envelope and the
// identity fields of the header, each read with libhdx, and the two forms it writes them in.
#ifndef HDX_MILTER_IDENTITY_H
#define HDX_MILTER_IDENTITY_H

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace hdx_milter {

// Caps on what is kept, so that memory per connection stays bounded whatever a client sends: a
// header field or command longer than kMaxField is not read (its item is empty), and a message
// keeps at most kMaxItems recipients and Received fields.
constexpr std::size_t kMaxField = 128 * 1024;
constexpr std::size_t kMaxItems = 100;

// An extracted value; empty when there was nothing to read or the library found nothing.
using Item = std::optional<std::string>;

struct Identity {
  std::string peer;
  Item envelope_from;
  std::vector<Item> rcpt;
  Item from, return_path;
  std::vector<Item> received;
  bool seen_from = false, seen_return_path = false;

  // A new envelope on the same connection: everything but the peer starts again.
  void start_message();
  // The MTA's view of a command's path and ESMTP parameters, as libmilter hands them over.
  void mail_from(const char* const* argv);
  void rcpt_to(const char* const* argv);
  // One header field: its name without the colon, its value as received, folds included.
  void header(std::string_view name, std::string_view value);
};

// Whether a header field's name is WANT: ASCII letters compared without regard to case, and blanks
// that stood before the colon ignored, as mail readers compare them.
bool is_field_name(std::string_view name, std::string_view want);
// "MAIL FROM:" or "RCPT TO:" rebuilt as the client sent it: the path, then each parameter.
std::string command_text(std::string_view verb, const char* const* argv);
// The whole field as it stood in the message: name, colon, value, every line ended by CR LF.
std::string raw_field(std::string_view name, std::string_view value);

// The added field's value: "peer=...; envelope-from=...; rcpt=...; from=...; return-path=...;
// received-ip=...", folded so that no line reaches 998 bytes. `name_len` is the field name's
// length, which the first line also holds.
std::string field_value(const Identity& id, std::size_t name_len);
// One JSON object, and its line end, for the log.
std::string log_line(const Identity& id, std::string_view queue_id);

}  // namespace hdx_milter

#endif  // HDX_MILTER_IDENTITY_H
