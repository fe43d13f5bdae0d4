// hdx-exim: libhdx inside Exim, called from string expansions as ${dlfunc{MODULE}{FUNCTION}...}.
// `identity` yields the value of the field that hdx-milter adds, read from the message as Exim
// holds it in the DATA or non-SMTP ACL, `checks` the sender checks that fire for it, as an Exim
// list, and `action` what a policy file decides for it; `from`, `return_path`, `received_ip` and
// `path` yield what the library reads from one value, or nothing. What a call keeps comes from
// Exim's store, tainted, since it all derives from the message, and goes back with the rest of
// that store; what the policy's file and the Unicode libraries take from malloc is given back
// before the call returns. Nothing is kept between calls, nothing written to any stream.
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <memory_resource>
#include <optional>
#include <string_view>

#include "checks.h"
#include "fields.h"
#include "identity.h"
#include "policy.h"

extern "C" {
#define DLFUNC_IMPL
#include <local_scan.h>
}

namespace {

using hdx_common::Identity;
using hdx_common::Item;
using hdx_common::Text;

// Exim's store as a memory resource. Exim frees its store in bulk, at the end of the message or
// of the expansion, so nothing is given back piece by piece. Requests stay far below Exim's
// limit: the largest is a copy of one field, which the caps bound.
class EximStore final : public std::pmr::memory_resource {
  void* do_allocate(std::size_t bytes, std::size_t alignment) override {
    std::size_t space = bytes + alignment;  // Exim's own alignment may be less than asked
    void* p = store_get(static_cast<int>(space), GET_TAINTED);
    return std::align(alignment, bytes, p, space);
  }
  void do_deallocate(void*, std::size_t, std::size_t) override {}
  bool do_is_equal(const std::pmr::memory_resource& other) const noexcept override {
    return this == &other;
  }
};

std::string_view text(const uschar* s) {
  return s == nullptr ? std::string_view() : reinterpret_cast<const char*>(s);
}

// The yield: a zero-terminated copy in Exim's store, which outlives this call.
int yield_text(uschar** yield, std::string_view value) {
  auto* out = static_cast<uschar*>(store_get(static_cast<int>(value.size() + 1), GET_TAINTED));
  if (!value.empty()) std::memcpy(out, value.data(), value.size());  // an empty view may be null
  out[value.size()] = '\0';
  *yield = out;
  return OK;
}

int yield_item(uschar** yield, const Item& item) {
  return yield_text(yield, item ? std::string_view(*item) : std::string_view());
}

// A wrong argument count is a mistake in the configuration: the expansion fails with the reason,
// which Exim logs. (ERROR would also write to the panic log, which is for Exim's own faults.)
int bad_usage(uschar** yield, const char* why) {
  yield_text(yield, why);
  return FAIL;
}

// A command rebuilt around an address that Exim holds already parsed, for the path reader.
Text command(std::string_view verb, const uschar* address, std::pmr::memory_resource* store) {
  Text c(verb, store);
  ((c += '<') += text(address)) += '>';
  return c;  // moved, so it keeps the store: a copy would take the default resource
}

// The message at hand, as Exim holds it.
void read_message(Identity& id, EximStore& store) {
  // Empty for a local submission, as the filter leaves it when the MTA names no peer.
  id.peer = text(sender_host_address);
  id.mail_from(command("MAIL FROM:", sender_address, &store));
  for (int i = 0; i < recipients_count; ++i) {
    id.rcpt_to(command("RCPT TO:", recipients_list[i].address, &store));
  }
  for (const header_line* h = header_list; h != nullptr; h = h->next) {
    if (h->type == '*') continue;  // marked deleted
    const auto field = hdx_common::split_field(
        {reinterpret_cast<const char*>(h->text), static_cast<std::size_t>(h->slen)});
    if (field) id.header(field->name, field->value);
  }
}

// The policy in a file, read at each call so that an edit counts from the next message; nullopt,
// with the file, line and reason in `error`, where it cannot be read or holds a mistake.
std::optional<hdx_common::Policy> read_policy(const uschar* path, std::string& error) {
  std::ifstream in{std::string(text(path))};
  if (!in) {
    error = "hdx-exim: " + std::string(text(path)) + ": " + std::strerror(errno);
    return std::nullopt;
  }
  const std::string file(std::istreambuf_iterator<char>(in), {});
  auto policy = hdx_common::parse_policy(file, text(path), {"socket", "header", "log"}, error);
  if (!policy) error.insert(0, "hdx-exim: ");
  return policy;
}

// What the policy decides for the message at hand: `args` are the policy file, the client's
// address and its login, as `action` takes them.
std::optional<hdx_common::Decision> decide(const Identity& id, const hdx_common::Checks& fired,
                                           uschar* args[], std::string& error) {
  const auto policy = read_policy(args[0], error);
  if (!policy) return std::nullopt;
  return hdx_common::decide(*policy, fired, id,
                            {text(args[1]), !text(args[2]).empty()});
}

}  // namespace

// The added field's value for this message. Arguments: optionally the field's name, for the
// folding (by default X-HDX-Identity); then, where a policy is in force, the three that `action`
// takes, so that the field says the action and why the policy spared the message, as the filter's
// does. Without them the action is "mark", which is what Exim does with the message unless an
// ACL decides otherwise.
extern "C" __attribute__((visibility("default"))) int identity(uschar** yield, int argc,
                                                               uschar* argv[]) {
  if (argc != 0 && argc != 1 && argc != 3 && argc != 4) {
    return bad_usage(yield,
                     "hdx-exim: identity takes an optional field name, then optionally the "
                     "policy file, $sender_host_address and $authenticated_id");
  }
  const bool named = argc == 1 || argc == 4;
  const std::string_view name = named ? text(argv[0]) : hdx_common::kFieldName;
  EximStore store;
  Identity id(&store);
  read_message(id, store);
  const hdx_common::Checks fired = hdx_common::sender_checks(id);
  hdx_common::Decision decision;
  if (argc >= 3) {
    std::string error;
    const auto decided = decide(id, fired, argv + named, error);
    if (!decided) return bad_usage(yield, error.c_str());
    decision = *decided;
  }
  return yield_text(
      yield, hdx_common::field_value(id, fired, name.size(),
                                     hdx_common::kActionNames[static_cast<int>(decision.action)],
                                     decision.spared));
}

// The sender checks that fire for this message, colon-separated, as Exim lists are: ACLs decide
// on them (${if inlist{from-multiple}{...}}).
extern "C" __attribute__((visibility("default"))) int checks(uschar** yield, int argc, uschar*[]) {
  if (argc != 0) return bad_usage(yield, "hdx-exim: checks takes no argument");
  EximStore store;
  Identity id(&store);
  read_message(id, store);
  return yield_text(yield, hdx_common::sender_checks(id).names(':', &store));
}

// What the policy file decides for this message from this client: "mark", "reject:CHECK,..."
// or "quarantine:CHECK,...", as the filter decides it. Arguments: the policy file (the filter's
// config file works as it is), $sender_host_address and $authenticated_id. A file that cannot be
// read, or holds a mistake, fails the expansion with the file, line and reason, which defers the
// message and goes to the main log.
extern "C" __attribute__((visibility("default"))) int action(uschar** yield, int argc,
                                                             uschar* argv[]) {
  if (argc != 3) {
    return bad_usage(yield, "hdx-exim: action takes three arguments: the policy file, "
                            "$sender_host_address and $authenticated_id");
  }
  EximStore store;
  Identity id(&store);
  read_message(id, store);
  std::string error;
  const auto decision = decide(id, hdx_common::sender_checks(id), argv, error);
  if (!decision) return bad_usage(yield, error.c_str());
  return yield_text(yield, hdx_common::action_text(*decision));
}

namespace {

// One value, as $rh_NAME: gives it, read as the field NAME; or one command.
template <class Read>
int one_value(uschar** yield, int argc, uschar* argv[], const char* usage, Read read) {
  if (argc != 1) return bad_usage(yield, usage);
  EximStore store;
  Identity id(&store);
  return yield_item(yield, read(id, text(argv[0])));
}

}  // namespace

extern "C" __attribute__((visibility("default"))) int from(uschar** yield, int argc,
                                                           uschar* argv[]) {
  return one_value(yield, argc, argv, "hdx-exim: from takes one argument, a From field's value",
                   [](Identity& id, std::string_view v) {
                     id.header("From", v);
                     return id.from;
                   });
}

extern "C" __attribute__((visibility("default"))) int return_path(uschar** yield, int argc,
                                                                  uschar* argv[]) {
  return one_value(yield, argc, argv,
                   "hdx-exim: return_path takes one argument, a Return-Path field's value",
                   [](Identity& id, std::string_view v) {
                     id.header("Return-Path", v);
                     return id.return_path;
                   });
}

extern "C" __attribute__((visibility("default"))) int received_ip(uschar** yield, int argc,
                                                                  uschar* argv[]) {
  return one_value(yield, argc, argv,
                   "hdx-exim: received_ip takes one argument, a Received field's value",
                   [](Identity& id, std::string_view v) {
                     id.header("Received", v);
                     return id.received.front();
                   });
}

extern "C" __attribute__((visibility("default"))) int path(uschar** yield, int argc,
                                                           uschar* argv[]) {
  return one_value(yield, argc, argv,
                   "hdx-exim: path takes one argument, a MAIL FROM: or RCPT TO: command",
                   [](Identity& id, std::string_view v) {
                     id.mail_from(v);
                     return id.envelope_from;
                   });
}
