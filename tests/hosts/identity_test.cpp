// The mail filter and the Exim module given the same messages (peer, envelope, header fields):
// the fields they add must agree byte for byte, and be what a row says where it says. The
// module is loaded as Exim loads it, and binds Exim's variables and store to this executable's.
// Exim's FAIL is a return code; GoogleTest must not take the name.
#define GTEST_DONT_DEFINE_FAIL 1
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "connection.h"
#include "exim_stand_in.h"
#include "fields.h"

namespace {

// Exim's store: blocks that live until the test resets it, as a message's store does.
std::vector<std::unique_ptr<char[]>> store;
// Whether malloc was called while the module ran: it must use the store alone.
bool counting = false;
int mallocs = 0;

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
extern "C" void* malloc(std::size_t n) {
  mallocs += counting;
  return __libc_malloc(n);
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

struct Call {
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
  mallocs = 0;
  counting = true;
  const int rc = f(&yield, static_cast<int>(argv.size()), argv.data());
  counting = false;
  EXPECT_EQ(mallocs, 0) << function;
  return {rc, yield == nullptr ? "(null)" : reinterpret_cast<const char*>(yield)};
}

struct Message {
  const char* name;
  const char* peer;    // "" for a local submission
  const char* sender;  // as Exim holds it: without brackets, "" for the null sender
  std::vector<std::string> rcpt;
  // Whole fields as Exim holds them, with LF line ends; one that starts with "*" is a field Exim
  // has marked deleted, which the filter never sees.
  std::vector<std::string> fields;
  const char* want;  // the added value, or nullptr where agreement is the point
};

// 150 recipients and Received fields, and a From field over the cap before another one.
std::vector<std::string> numbered(const char* before, const char* after) {
  std::vector<std::string> v;
  for (int i = 0; i < 150; ++i) v.push_back(before + std::to_string(i) + after);
  return v;
}
std::vector<std::string> over_the_caps() {
  auto fields = numbered("Received: from a (b [192.0.2.", "])\n");
  fields.push_back("From: <" + std::string(130 * 1024, 'a') + "@x>\n");
  fields.push_back("From: <second@x>\n");
  return fields;
}

// clang-format off
const Message kMessages[] = {
    {"plain", "127.0.0.1", "ann@example.org", {"bob@test.example"},
     {"From: \"Ann Example\" <ann@example.org>\n", "Subject: plain\n"},
     "peer=127.0.0.1; envelope-from=ann@example.org;\n\trcpt=bob@test.example; "
     "from=ann@example.org; return-path=; received-ip="},
    {"envelope and upstream fields", "127.0.0.1", "ann@example.org",
     {"bob@test.example", "\"carl smith\"@test.example", "dora@test.example"},
     {"Received: from mx1.example.net (mx1.example.net [192.0.2.25])\n\tby relay.example.org\n",
      "Received: from mail.example.com (mail.example.com\n\t[IPv6:2001:db8::25]) by mx1\n",
      "Received: by mail.example.com with SMTP id 7\n", "Return-Path: <\"ann smith\"@example.org>\n",
      "From: =?utf-8?Q?Ann_=C3=89xample?= <ann@example.org> (Ann in Sales)\n"},
     "peer=127.0.0.1; envelope-from=ann@example.org;\n"
     "\trcpt=bob@test.example,\"\\\"carl smith\\\"@test.example\",dora@test.example;\n"
     "\tfrom=ann@example.org; return-path=smith@example.org; received-ip=192.0.2.25,\n"
     "\tIPv6:2001:db8::25,"},
    {"null sender, local submission", "", "", {"bob@test.example"}, {"From: <MAILER-DAEMON@x>\n"},
     "peer=; envelope-from=; rcpt=bob@test.example;\n"
     "\tfrom=MAILER-DAEMON@x; return-path=; received-ip="},
    {"control, 8-bit, quote and backslash bytes escaped", "::1", "\"q\\\"b\\\\s\"@x", {"c,d@x"},
     {"From: <a\x01\x7f\x80\xff@example.org>\n", "Return-Path: <a;b@example.org>\n"},
     "peer=::1; envelope-from=\"\\\"q\\\\\\\"b\\\\\\\\s\\\"@x\"; rcpt=\"c,d@x\";\n"
     "\tfrom=\"a\\x01\\x7F\\x80\\xFF@example.org\"; return-path=\"a;b@example.org\";\n"
     "\treceived-ip="},
    {"obsolete names, first From and Return-Path only", "127.0.0.1", "a@b", {"c@d"},
     {"from : <first@x>\n", "FROM: <second@x>\n", "RECEIVED: from x (y [192.0.2.9])\n",
      "return-path:<rp@x>\n", "Return-Path: <rp2@x>\n"},
     "peer=127.0.0.1; envelope-from=a@b; rcpt=c@d; from=first@x;\n"
     "\treturn-path=rp@x; received-ip=192.0.2.9"},
    {"a field marked deleted is not read", "127.0.0.1", "a@b", {"c@d"},
     {"*From: <forged@x>\n", "From: <real@x>\n"},
     "peer=127.0.0.1; envelope-from=a@b; rcpt=c@d; from=real@x;\n\treturn-path=; received-ip="},
    {"values cut at 200 bytes", "127.0.0.1", "a@b", {}, {"From: <" + std::string(250, 'a') + "@x>\n"},
     nullptr},
    {"caps: 100 recipients and Received fields, a From over 128 KiB", "127.0.0.1", "a@b",
     numbered("r", "@x"), over_the_caps(), nullptr},
};
// clang-format on

// The filter's steps, as the MTA takes it through them.
std::string filter_value(const Message& m, const std::string& own) {
  hdx_milter::Connection c;
  c.id.peer = m.peer;
  c.mail("<" + std::string(m.sender) + ">");
  for (const auto& r : m.rcpt) c.rcpt("<" + r + ">");
  for (const auto& f : m.fields) {
    if (f[0] == '*') continue;
    const auto field = hdx_common::split_field(f);
    c.header(field->name, field->value, own);
  }
  return c.added_value(own);
}

// The module's call, with Exim's variables set to the message.
Call module_value(Message m, std::vector<std::string> args) {
  std::vector<recipient_item> recipients(m.rcpt.size());
  for (std::size_t i = 0; i < m.rcpt.size(); ++i) recipients[i].address = us(m.rcpt[i]);
  std::vector<header_line> headers(m.fields.size() + 1);
  for (std::size_t i = 0; i < m.fields.size(); ++i) {
    const bool deleted = m.fields[i][0] == '*';
    headers[i] = {&headers[i + 1], deleted ? '*' : ' ', static_cast<int>(m.fields[i].size() - deleted),
                  us(m.fields[i]) + deleted};
  }
  headers[m.fields.size()] = {nullptr, '*', 0, nullptr};  // one more, marked deleted, to end it
  std::string peer = m.peer, sender = m.sender;
  header_list = headers.data();
  sender_address = us(sender);
  sender_host_address = peer.empty() ? nullptr : us(peer);
  recipients_count = static_cast<int>(recipients.size());
  recipients_list = recipients.data();
  return call("identity", std::move(args));
}

TEST(HostIdentity, FilterAndModuleAddTheSameField) {
  for (const auto& m : kMessages) {
    SCOPED_TRACE(m.name);
    const std::string filter = filter_value(m, "X-HDX-Identity");
    const Call module = module_value(m, {});
    EXPECT_EQ(module.rc, OK);
    EXPECT_EQ(module.yield, filter);
    if (m.want != nullptr) {
      EXPECT_EQ(filter, m.want);
    }
    // Folded for a longer name of the administrator's choosing, as the filter's --header does.
    const std::string own = "X-Sender-Identity-As-Read-Here";
    EXPECT_EQ(module_value(m, {own}).yield, filter_value(m, own));
  }
}

TEST(HostIdentity, CapsAndCuts) {
  const std::string cut = filter_value(kMessages[6], "X-HDX-Identity");
  EXPECT_NE(cut.find("from=\"" + std::string(200, 'a') + "...\";"), std::string::npos) << cut;
  const std::string capped = filter_value(kMessages[7], "X-HDX-Identity");
  for (const char* in : {"r99@x;", "from=;", "192.0.2.99"}) EXPECT_NE(capped.find(in), npos) << in;
  for (const char* out : {"r100@", "192.0.2.100", "second@x"}) EXPECT_EQ(capped.find(out), npos);
}

struct OneValue {
  const char* function;
  std::vector<std::string> args;
  int rc;
  const char* yield;
};

// One address found; then what the live Exim test cannot compare with the hdx command: nothing
// found, over the cap, and calls that the configuration got wrong.
const OneValue kOneValue[] = {
    {"from", {" \"Ann\" <ann@example.org> (Sales)"}, OK, "ann@example.org"},
    {"from", {" undisclosed-recipients:;"}, OK, ""},
    {"received_ip", {" from x (y [192.0.2.1])" + std::string(140 * 1024, ' ')}, OK, ""},
    {"path", {"<ann@example.org>"}, OK, ""},
    {"from", {}, FAIL, "hdx-exim: from takes one argument, a From field's value"},
    {"identity", {"a", "b"}, FAIL, "hdx-exim: identity takes at most one argument"},
};

TEST(HostIdentity, ModuleOneValue) {
  for (const auto& c : kOneValue) {
    SCOPED_TRACE(std::string(c.function) + " " + (c.args.empty() ? "" : c.args[0].substr(0, 60)));
    const Call got = call(c.function, c.args);
    EXPECT_EQ(got.rc, c.rc);
    EXPECT_EQ(got.yield, c.yield);
  }
  store.clear();
}

}  // namespace
