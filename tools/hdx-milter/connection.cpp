// A connection's steps, read into the shared identity.
#include "connection.h"

#include "fields.h"

namespace hdx_milter {
namespace {

// "MAIL FROM:" or "RCPT TO:" rebuilt as the client sent it: the path, then each parameter.
std::string command_text(std::string_view verb, std::string_view args) {
  if (!args.empty() && args.back() == '\0') args.remove_suffix(1);
  std::string text(verb);
  for (const char c : args) text += c == '\0' ? ' ' : c;
  return text;
}

}  // namespace

void Connection::start_message() {
  id.start_message();
  forged = 0;
}

void Connection::mail(std::string_view args) {
  start_message();
  if (!args.empty()) id.mail_from(command_text("MAIL FROM:", args));
}

void Connection::rcpt(std::string_view args) {
  // One with no path is still a recipient, whose address could not be read.
  id.rcpt_to(args.empty() ? std::string() : command_text("RCPT TO:", args));
}

void Connection::header(std::string_view name, std::string_view value, std::string_view own) {
  if (hdx_common::is_field_name(name, own)) ++forged;
  id.header(name, value);
}

hdx_common::Checks Connection::checks() const {
  return hdx_common::sender_checks(id);
}

std::string Connection::added_value(std::string_view own, const hdx_common::Checks& fired,
                                    std::string_view action, std::string_view spared) const {
  return (lead_space ? " " : "") +
         std::string(hdx_common::field_value(id, fired, own.size(), action, spared));
}

}  // namespace hdx_milter
