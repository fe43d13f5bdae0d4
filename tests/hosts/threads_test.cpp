// Many connections' worth of the filter's own reading at once, as libmilter's thread per
// connection runs it; built with ThreadSanitizer, which reports any data race. Every thread must
// also get what a single thread gets.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "connection.h"

namespace {

std::string one_message(int k) {
  hdx_milter::Connection c;
  c.id.peer = "192.0.2." + std::to_string(k % 250);
  const std::string from = "<sender-" + std::to_string(k) + "@example.org>";
  const char* mail[] = {from.c_str(), "SIZE=1000", nullptr};
  const char* rcpt[] = {"<@relay.example:bob@example.net>", nullptr};
  c.mail(mail);
  c.rcpt(rcpt);
  c.header("Received", " from mx.example.net (mx.example.net\n\t[192.0.2.25]) by x", "X-HDX");
  c.header("From", " =?utf-8?Q?Ann?= (comment) " + from, "X-HDX");
  return c.added_value("X-HDX-Identity") + hdx_common::log_line(c.id, "ABC");
}

TEST(MilterThreads, ConcurrentMessagesReadAlike) {
  constexpr int kThreads = 8, kMessages = 2000;
  std::vector<std::string> want;
  for (int k = 0; k < kMessages; ++k) want.push_back(one_message(k));
  std::vector<int> mismatches(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int k = 0; k < kMessages; ++k) mismatches[t] += one_message(k) != want[k];
    });
  }
  for (auto& th : threads) th.join();
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(mismatches[t], 0) << "thread " << t;
  EXPECT_NE(want[7].find("envelope-from=sender-7@example.org;"), std::string::npos) << want[7];
}

}  // namespace
