// A connection's steps, read into the shared identity.
#include "connection.h"

#include "fields.h"

namespace hdx_milter {
namespace {

// "MAIL FROM:" or "RCPT TO:" rebuilt as the client sent it: the path, then each parameter.
std::string command_text(std::string_view verb, const char* const* argv) {
  std::string text(verb);
  text += argv[0];
  for (const char* const* arg = argv + 1; *arg != nullptr; ++arg) (text += ' ') += *arg;
  return text;
}

}  // namespace

void Connection::start_message() {
  id.start_message();
  forged = 0;
}

void Connection::mail(const char* const* argv) {
  start_message();
  if (argv == nullptr || argv[0] == nullptr) return;
  id.mail_from(command_text("MAIL FROM:", argv));
}

void Connection::rcpt(const char* const* argv) {
  if (argv == nullptr || argv[0] == nullptr) {
    id.rcpt_to({});  // still a recipient, whose address could not be read
    return;
  }
  id.rcpt_to(command_text("RCPT TO:", argv));
}

void Connection::header(std::string_view name, std::string_view value, std::string_view own) {
  if (hdx_common::is_field_name(name, own)) ++forged;
  id.header(name, value);
}

std::string Connection::added_value(std::string_view own) const {
  return (lead_space ? " " : "") + std::string(hdx_common::field_value(id, own.size()));
}

}  // namespace hdx_milter
