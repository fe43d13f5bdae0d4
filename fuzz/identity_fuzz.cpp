// The identity that the mail hosts build, over arbitrary messages: the added field must hold only
// printable ASCII in folded lines under 998 bytes that start with its items in order, and the log
// line must be one line of printable ASCII, whatever the peer, envelope and header fields.
// Input: two bytes set the caps, then parts ended by a zero byte: the peer, the MAIL command, and
// each part after that a RCPT command when it starts with "R", else a header field, handed over
// whole or cut into name and value as an MTA does, by the parity of its length.
#include <cstdint>
#include <string_view>

#include "checks.h"
#include "fields.h"
#include "fuzz_input.h"
#include "identity.h"

namespace {

void check_field(std::string_view value, std::size_t name_len) {
  using hdx_fuzz::check;
  check(value.substr(0, 5) == "peer=");
  std::size_t line = name_len + 2;
  for (std::size_t i = 0; i < value.size(); ++i) {
    const auto c = static_cast<unsigned char>(value[i]);
    check((c >= 0x20 && c < 0x7F) || (c == '\n' && i + 1 < value.size() && value[i + 1] == '\t') ||
          (c == '\t' && i > 0 && value[i - 1] == '\n'));
    line = c == '\n' ? 0 : line + 1;
    check(line < 998);
  }
  std::size_t at = 0;
  for (const std::string_view item :
       {"; envelope-from=", "; rcpt=", "; from=", "; return-path=", "; received-ip="}) {
    // A fold may stand where the blank after the semicolon was.
    const std::size_t plain = value.find(item, at);
    const std::size_t folded = value.find(";\n\t" + std::string(item.substr(2)), at);
    at = plain < folded ? plain : folded;
    check(at != std::string_view::npos);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  hdx_common::Identity id(std::pmr::get_default_resource(),
                          {std::size_t{16} + data[0] * 4u, std::size_t{1} + data[1] % 8u});
  const std::string_view input(reinterpret_cast<const char*>(data + 2), size - 2);
  std::size_t start = 0;
  for (int part = 0; start <= input.size(); ++part) {
    std::size_t end = input.find('\0', start);
    if (end == std::string_view::npos) end = input.size();
    // An exact-size copy, so that a read past the part's end is caught.
    hdx_fuzz::ExactBuffer bytes(data + 2 + start, end - start);
    const std::string_view text(bytes.data(), bytes.len());
    if (part == 0) {
      id.peer = text;
    } else if (part == 1) {
      id.mail_from(text);
    } else if (!text.empty() && text[0] == 'R') {
      id.rcpt_to(text);
    } else if (text.size() % 2 == 0) {
      id.field(text);
    } else if (const auto f = hdx_common::split_field(text)) {
      id.header(f->name, f->value);
    }
    start = end + 1;
  }
  hdx_fuzz::check(id.rcpt.size() <= id.caps.items && id.received.size() <= id.caps.items);
  // The checks with each envelope a host takes: MAIL FROM, and a mailbox's Return-Path.
  const hdx_common::Checks fired = hdx_common::sender_checks(id);
  id.has_envelope = !id.has_envelope;
  hdx_common::sender_checks(id).names(',');
  id.has_envelope = !id.has_envelope;
  check_field(hdx_common::field_value(id, fired, 14, "mark", "exempt"), 14);
  const std::string log = hdx_common::log_line(id, fired, "QID", "mark");
  for (std::size_t i = 0; i < log.size(); ++i) {
    const auto c = static_cast<unsigned char>(log[i]);
    hdx_fuzz::check((c >= 0x20 && c < 0x7F) || (c == '\n' && i + 1 == log.size()));
  }
  return 0;
}
