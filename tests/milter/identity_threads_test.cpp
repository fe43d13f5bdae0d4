// Many connections' worth of the filter's own reading at once, as libmilter's thread per
// connection runs it; built with ThreadSanitizer, which reports any data race. Every thread must
// also get what a single thread gets.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "identity.h"

namespace {

std::string one_message(int k) {
  hdx_milter::Identity id;
  id.peer = "192.0.2." + std::to_string(k % 250);
  id.start_message();
  const std::string from = "<sender-" + std::to_string(k) + "@example.org>";
  const char* mail[] = {from.c_str(), "SIZE=1000", nullptr};
  const char* rcpt[] = {"<@relay.example:bob@example.net>", nullptr};
  id.mail_from(mail);
  id.rcpt_to(rcpt);
  id.header("Received", " from mx.example.net (mx.example.net\n\t[192.0.2.25]) by x");
  id.header("From", " =?utf-8?Q?Ann?= (comment) " + from);
  return hdx_milter::field_value(id, 14) + hdx_milter::log_line(id, "ABC");
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
