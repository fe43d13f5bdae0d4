// What the filter keeps of one MTA connection between the MTA's steps, and what it answers at
// the end of a message. Free of the protocol, so that tests drive it step by step as the MTA
// does.
#ifndef HDX_MILTER_CONNECTION_H
#define HDX_MILTER_CONNECTION_H

#include <string>
#include <string_view>

#include "checks.h"
#include "identity.h"

namespace hdx_milter {

struct Connection {
  hdx_common::Identity id;
  bool lead_space = false;  // header values come with their leading space, and go out so
  int forged = 0;           // fields of the message under the filter's own field name

  void start_message();
  // A command as the MTA hands it over: its path, then each ESMTP parameter, each ended by a NUL.
  void mail(std::string_view args);
  void rcpt(std::string_view args);
  // One header field, its name without the colon; `own` is the name of the field the filter adds.
  void header(std::string_view name, std::string_view value, std::string_view own);
  // The sender checks that fire for the message, its envelope sender being MAIL FROM's.
  hdx_common::Checks checks() const;
  // The value of the field to add under the name `own`, as the MTA expects it, with the action
  // taken and why the policy spared the message, if it did.
  std::string added_value(std::string_view own, const hdx_common::Checks& fired,
                          std::string_view action, std::string_view spared) const;
};

}  // namespace hdx_milter

#endif  // HDX_MILTER_CONNECTION_H
