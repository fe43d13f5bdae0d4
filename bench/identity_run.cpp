// The identity field made by a program that Exim runs once per message, as a user of Exim's light
// daemon (no ${dlfunc}) would make it: ${run{identity_run $sender_host_address $sender_address
// $recipients $message_headers_raw}} prints the value that the module yields.
#include <cstdio>
#include <string_view>

#include "checks.h"
#include "fields.h"
#include "identity.h"

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fputs("usage: identity_run PEER SENDER RECIPIENTS HEADERS\n", stderr);
    return 2;
  }
  hdx_common::Identity id;
  id.peer = argv[1];
  id.mail_from("MAIL FROM:<" + std::string(argv[2]) + ">");
  // Exim lists the recipients with a comma and a blank between them.
  for (std::string_view rest = argv[3]; !rest.empty();) {
    const std::size_t comma = rest.find(", ");
    id.rcpt_to("RCPT TO:<" + std::string(rest.substr(0, comma)) + ">");
    rest.remove_prefix(comma == std::string_view::npos ? rest.size() : comma + 2);
  }
  // The header section, every line ended by LF: a field ends where a line does not continue.
  std::string_view headers = argv[4];
  while (!headers.empty()) {
    std::size_t end = 0;
    do {
      end = headers.find('\n', end);
      end = end == std::string_view::npos ? headers.size() : end + 1;
    } while (end < headers.size() && (headers[end] == ' ' || headers[end] == '\t'));
    if (const auto field = hdx_common::split_field(headers.substr(0, end))) {
      id.header(field->name, field->value);
    }
    headers.remove_prefix(end);
  }
  const auto value = hdx_common::field_value(id, hdx_common::sender_checks(id), 14, "mark");
  std::fwrite(value.data(), 1, value.size(), stdout);
  return 0;
}
