// The mail filter and the Exim module given the same messages (peer, envelope, header fields):
// the fields they add must agree byte for byte, and be what a row says where it says. The
// module is loaded as Exim loads it, and binds Exim's variables and store to this executable's.
// Exim's FAIL is a return code; GoogleTest must not take the name.
#define GTEST_DONT_DEFINE_FAIL 1
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <algorithm>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "cases.h"
#include "connection.h"
#include "exim_stand_in.h"
#include "fields.h"
#include "milter_packets.h"

namespace {

// Exim's store: blocks that live until the test resets it, as a message's store does.
std::vector<std::unique_ptr<char[]>> store;
// What the module left allocated with malloc when it returned: its own memory must come from the
// store alone, and what the Unicode libraries take from malloc must be given back at once.
bool counting = false;
int outstanding = 0;

}  // namespace

extern "C" void* store_get_3(int size, const void*, const char*, int) {
  const bool was_counting = counting;
  counting = false;  // the store's own mallocs are Exim's
  store.push_back(std::make_unique<char[]>(static_cast<std::size_t>(size)));
  counting = was_counting;
  return store.back().get();
}

#if !defined(__SANITIZE_ADDRESS__)
extern "C" void* __libc_malloc(std::size_t);
extern "C" void* __libc_calloc(std::size_t, std::size_t);
extern "C" void* __libc_realloc(void*, std::size_t);
extern "C" void* __libc_memalign(std::size_t, std::size_t);
extern "C" void __libc_free(void*);
extern "C" void* malloc(std::size_t n) {
  outstanding += counting;
  return __libc_malloc(n);
}
extern "C" void* calloc(std::size_t n, std::size_t size) {
  outstanding += counting;
  return __libc_calloc(n, size);
}
extern "C" void* aligned_alloc(std::size_t alignment, std::size_t n) {  // aligned operator new
  outstanding += counting;
  return __libc_memalign(alignment, n);
}
extern "C" void* realloc(void* p, std::size_t n) {
  outstanding += counting && p == nullptr;
  return __libc_realloc(p, n);
}
extern "C" void free(void* p) {
  outstanding -= counting && p != nullptr;
  __libc_free(p);
}
#endif

namespace {

constexpr auto npos = std::string::npos;
using DlFunc = int (*)(uschar**, int, uschar**);

DlFunc module_function(const char* name) {
  static void* module = dlopen(HDX_EXIM_MODULE, RTLD_NOW | RTLD_LOCAL);
  EXPECT_NE(module, nullptr) << dlerror();
  return module == nullptr ? nullptr : reinterpret_cast<DlFunc>(dlsym(module, name));
}

struct Call {  // a dlfunc's return code and yield
  int rc;
  std::string yield;
};

uschar* us(std::string& s) { return reinterpret_cast<uschar*>(s.data()); }

Call call(const char* function, std::vector<std::string> args) {
  std::vector<uschar*> argv;
  for (auto& a : args) argv.push_back(us(a));
  uschar* yield = nullptr;
  const DlFunc f = module_function(function);
  if (f == nullptr) return {-1, "no such function"};
  outstanding = 0;
  counting = true;
  const int rc = f(&yield, static_cast<int>(argv.size()), argv.data());
  counting = false;
  EXPECT_EQ(outstanding, 0) << function;
  return {rc, yield == nullptr ? "(null)" : reinterpret_cast<const char*>(yield)};
}

using hdx_test::MessageCase;
using hdx_test::value;

// A header field as the hosts get it: folds and the end in LF. One that starts with "*" is a
// field Exim has marked deleted, which the filter never sees.
std::string lf_field(const std::string& f) { return hdx_test::with_lf_folds(f) + "\n"; }
std::string bare_path(const std::string& path) { return path.substr(1, path.find('>') - 1); }

// What the shared messages cannot hold: Exim's marks, and messages built to exceed the caps.
std::vector<std::string> numbered(const char* before, const char* after) {
  std::vector<std::string> v;
  for (int i = 0; i < 150; ++i) v.push_back(before + std::to_string(i) + after);
  return v;
}
std::vector<MessageCase> messages() {
  auto all = hdx_test::kMessages;
  using Strings = std::vector<std::string>;
  const auto message = [&](Strings rcpt, Strings fields) -> auto& {
    return all.emplace_back(MessageCase{{"peer", {"127.0.0.1"}}, {"mail", {"<a@b>"}},
                                        {"rcpt", std::move(rcpt)}, {"field", std::move(fields)}});
  };
  message({"<c@d>"}, {"*From: <forged@x>", "From: <real@x>"})["identity"] = {
      "peer=127.0.0.1; envelope-from=a@b; rcpt=c@d; from=real@x;\n\treturn-path=; received-ip=; "
      "checks=envelope-mismatch; action=mark"};
  // The caps: 100 recipients and Received fields, a From over 128 KiB.
  auto capped = numbered("Received: from a (b [192.0.2.", "])");
  capped.push_back("From: <" + std::string(130 * 1024, 'a') + "@x>");
  capped.push_back("From: <second@x>");
  message(numbered("<r", "@x>"), capped);
  return all;
}

// The filter's steps, as the MTA takes it through them.
std::string filter_value(const MessageCase& m, const std::string& own) {
  hdx_milter::Connection c;
  c.id.peer = value(m, "peer");
  std::string mail = value(m, "mail") + '\0';  // as an MTA passes it: each word NUL-ended
  std::replace(mail.begin(), mail.end(), ' ', '\0');
  c.mail(mail);
  for (const auto& r : m.at("rcpt")) c.rcpt(r);
  for (const auto& f : m.at("field")) {
    const std::string lf = lf_field(f);
    const auto field = hdx_common::split_field(lf);
    if (f[0] != '*') c.header(field->name, field->value, own);
  }
  return c.added_value(own, c.checks(), "mark", "");
}

// The module's call of `function`, with Exim's variables set to the message.
Call module_call(const MessageCase& m, const char* function, std::vector<std::string> args) {
  std::string sender = bare_path(value(m, "mail")), peer = value(m, "peer");
  std::vector<std::string> rcpt, fields;
  for (const auto& r : m.at("rcpt")) rcpt.push_back(bare_path(r));
  for (const auto& f : m.at("field")) fields.push_back(lf_field(f));
  std::vector<recipient_item> recipients(rcpt.size());
  for (std::size_t i = 0; i < rcpt.size(); ++i) recipients[i].address = us(rcpt[i]);
  std::vector<header_line> headers(fields.size() + 1);
  for (std::size_t i = 0; i < fields.size(); ++i) {
    const bool deleted = fields[i][0] == '*';
    headers[i] = {&headers[i + 1], deleted ? '*' : ' ', static_cast<int>(fields[i].size() - deleted),
                  us(fields[i]) + deleted};
  }
  headers[fields.size()] = {nullptr, '*', 0, nullptr};  // one more, marked deleted, to end it
  header_list = headers.data();
  sender_address = us(sender);
  sender_host_address = peer.empty() ? nullptr : us(peer);
  recipients_count = static_cast<int>(recipients.size());
  recipients_list = recipients.data();
  return call(function, std::move(args));
}
Call module_value(const MessageCase& m, std::vector<std::string> args) {
  return module_call(m, "identity", std::move(args));
}

TEST(HostIdentity, FilterAndModuleAddTheSameField) {
  for (const auto& m : messages()) {
    SCOPED_TRACE(value(m, "field").substr(0, 80));
    const std::string filter = filter_value(m, "X-HDX-Identity");
    const Call module = module_value(m, {});
    EXPECT_EQ(module.rc, OK);
    EXPECT_EQ(module.yield, filter);
    if (m.count("identity") != 0) {
      EXPECT_EQ(filter, value(m, "identity"));
    }
    if (m.count("checks") != 0) {
      EXPECT_EQ(hdx_test::field_item(filter, "checks"), value(m, "checks"));
    }
    // Folded for a longer name of the administrator's choosing, as the filter's --header does.
    const std::string own = "X-Sender-Identity-As-Read-Here";
    EXPECT_EQ(module_value(m, {own}).yield, filter_value(m, own));
  }
}

// The module's action on the shared policy rows, as the filter's protocol test takes them: the
// policy file, the client's address and login as Exim hands them over.
TEST(HostIdentity, ModuleAction) {
  const std::string path = testing::TempDir() + "policy";
  for (const auto& m : hdx_test::kPolicies) {
    const std::string action = value(m, "action");
    SCOPED_TRACE(value(m, "name"));
    std::ofstream(path) << value(m, "policy");
    const std::vector<std::string> args = {path, value(m, "peer"),
                                           value(m, "auth") == "yes" ? "ann" : ""};
    const Call got = module_call(m, "action", args);
    const Call field = module_call(m, "identity", args);
    if (action.rfind("error: ", 0) == 0) {
      EXPECT_EQ(got.rc, FAIL);
      EXPECT_EQ(got.yield, "hdx-exim: " + action.substr(7).replace(0, 6, path));
      EXPECT_EQ(field.rc, FAIL);
    } else {
      EXPECT_EQ(got.yield.substr(0, got.yield.find(':')), action);
      EXPECT_EQ(hdx_test::field_item(field.yield, "action"), action);
      EXPECT_EQ(hdx_test::field_item(field.yield, "spared"), value(m, "spared"));
    }
  }
  store.clear();
}

TEST(HostIdentity, Caps) {
  const std::string capped = filter_value(messages().back(), "X-HDX-Identity");
  for (const char* in : {"r99@x;", "from=;", "192.0.2.99"}) EXPECT_NE(capped.find(in), npos) << in;
  for (const char* out : {"r100@", "192.0.2.100", "second@x"}) EXPECT_EQ(capped.find(out), npos);
}

// Each one-value function on the shared field rows that Exim would hand it: a whole field of the
// function's name ending in CR LF, given as $rh_NAME: gives its value (folds LF), and every
// command without a line end. Then what the rows cannot say: a value over the cap, and calls that
// the configuration got wrong.
TEST(HostIdentity, ModuleOneValue) {
  const std::map<std::string, std::pair<const char*, std::string_view>> kFunctions = {
      {"from", {"from", "From"}}, {"return-path", {"return_path", "Return-Path"}},
      {"received", {"received_ip", "Received"}}, {"path", {"path", ""}}};
  for (const auto& c : hdx_test::field_cases()) {
    const auto& [function, name] = kFunctions.at(c.kind);
    const auto field = hdx_common::split_field(c.input);
    const std::string arg =
        name.empty() || !field ? c.input : hdx_test::with_lf_folds(std::string(field->value));
    // Exim hands over a field of the function's name that ends in CR LF, its folds in LF, and a
    // command without a line end: other rows are not the module's to read.
    const bool exim_would = name.empty()
                                ? arg.find_first_of("\r\n") == npos
                                : field && field->name == name && c.input.substr(c.input.size() - 2) == "\r\n" &&
                                      arg.find('\r') == npos;
    if (exim_would) {
      EXPECT_EQ(call(function, {arg}).yield, c.result.value_or("")) << c.kind << ": " << c.name;
    }
  }
  EXPECT_EQ(call("received_ip", {" from x (y [192.0.2.1])" + std::string(140 * 1024, ' ')}).yield, "");
  EXPECT_EQ(call("from", {}).yield, "hdx-exim: from takes one argument, a From field's value");
  EXPECT_EQ(call("identity", {"a", "b"}).rc, FAIL);
  EXPECT_EQ(call("checks", {"a"}).rc, FAIL);
  store.clear();
}

}  // namespace
