// The filter's engine over a real socket, with many MTA connections at once on two threads;
// built with ThreadSanitizer, which reports any data race. Each connection must get exactly the
// replies that its own bytes get from a lone session, whatever else comes in meanwhile (a peer
// that breaks the protocol, one that goes quiet), and the engine must stop when told. Out of
// descriptors, the engine must neither spin on accept nor stop accepting for good.
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "engine.h"
#include "milter_packets.h"

// Every accept the engine tries, counted through the linker's --wrap.
std::atomic<int> accept_calls{0};
extern "C" int __real_accept4(int, sockaddr*, socklen_t*, int);
extern "C" int __wrap_accept4(int fd, sockaddr* addr, socklen_t* len, int flags) {
  ++accept_calls;
  return __real_accept4(fd, addr, len, flags);
}

namespace {

using hdx_test::negotiation;
using hdx_test::packet;

// A connection's worth of messages, each with a sender of its own.
std::string stream(int client) {
  std::string s = negotiation();
  for (int m = 0; m < 200; ++m) {
    const std::string from = "<s" + std::to_string(client) + "-" + std::to_string(m) + "@x>";
    s += packet('M', from + '\0') + packet('R', std::string("<r@y>\0", 6)) + packet('T') +
         packet('L', std::string("From\0 ", 6) + from + '\0') + packet('E');
  }
  return s;
}

// `fd` bound or connected (`how`) to the unix socket at `path`.
int at_path(int fd, const std::string& path, int (*how)(int, const sockaddr*, socklen_t)) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  path.copy(addr.sun_path, sizeof addr.sun_path - 1);
  EXPECT_EQ(how(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr), 0) << path;
  return fd;
}

int connect_to(const std::string& path) {
  return at_path(socket(AF_UNIX, SOCK_STREAM, 0), path, connect);
}

// Sends the stream in pieces of every size, and reads until `want` bytes came back (or 10 s of
// silence).
std::string exchange(const std::string& path, const std::string& bytes, std::size_t want) {
  const int fd = connect_to(path);
  std::string got;
  std::thread writer([&] {
    for (std::size_t at = 0, piece = 1; at < bytes.size(); at += piece, piece = piece * 7 % 4093) {
      if (send(fd, bytes.data() + at, std::min(piece, bytes.size() - at), MSG_NOSIGNAL) < 0) break;
    }
  });
  char buffer[4096];
  pollfd p{fd, POLLIN, 0};
  while (got.size() < want && poll(&p, 1, 10000) == 1) {
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n <= 0) break;
    got.append(buffer, static_cast<std::size_t>(n));
  }
  writer.join();
  close(fd);
  return got;
}

// A filter listening on a unix socket in a directory of its own.
class MilterEngine : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(mkdtemp(dir_), nullptr);
    path_ = std::string(dir_) + "/milter.sock";
    // The socket file of a filter that crashed, which the next one replaces.
    close(at_path(socket(AF_UNIX, SOCK_STREAM, 0), path_, bind));
    listener_ = hdx_milter::listen_on("unix:" + path_);
    ASSERT_GE(listener_.fd, 0) << listener_.error;
  }
  void TearDown() override {
    close(listener_.fd);
    unlink(path_.c_str());
    rmdir(dir_);
  }

  char dir_[32] = "/tmp/hdx-engine-XXXXXX";
  std::string path_;
  hdx_milter::Listener listener_;
  const hdx_milter::Filter filter_;
};

TEST_F(MilterEngine, ManyConnectionsOnTwoThreads) {
  hdx_milter::Engine engine(listener_.fd, filter_, {.threads = 2});
  ASSERT_TRUE(engine.start()) << engine.error();
  constexpr int kClients = 8;
  std::vector<std::string> want(kClients), got(kClients);
  for (int c = 0; c < kClients; ++c) hdx_milter::Session(filter_).receive(stream(c), want[c]);
  // Alongside: a peer that sends a length over the cap, and one that sends half a packet and
  // stays; neither may hold the others up.
  const int hostile = connect_to(path_), quiet = connect_to(path_);
  ASSERT_EQ(write(hostile, "\xff\xff\xff\xffL", 5), 5);
  ASSERT_EQ(write(quiet, "\0\0", 2), 2);
  std::vector<std::thread> clients;
  for (int c = 0; c < kClients; ++c) {
    clients.emplace_back([&, c] { got[c] = exchange(path_, stream(c), want[c].size()); });
  }
  for (auto& t : clients) t.join();
  for (int c = 0; c < kClients; ++c) EXPECT_TRUE(got[c] == want[c]) << "client " << c;
  char byte;
  EXPECT_EQ(read(hostile, &byte, 1), 0);  // closed by the engine

  engine.stop();  // the quiet peer is between messages: its connection goes at once
  engine.join();
  EXPECT_EQ(read(quiet, &byte, 1), 0);
  close(hostile);
  close(quiet);
}

// With no descriptor left, 40 MTA connections wait in the listening socket's queue for two
// seconds: the engine tries to accept a few times, not in a loop, and once descriptors are free
// again it accepts by itself and serves a new session.
TEST_F(MilterEngine, OutOfDescriptors) {
  hdx_milter::Engine engine(listener_.fd, filter_, {.threads = 1});
  ASSERT_TRUE(engine.start()) << engine.error();
  std::vector<int> held(40);
  for (int& fd : held) fd = socket(AF_UNIX, SOCK_STREAM, 0);
  // The lowest free descriptor is the new limit: every descriptor below it is taken.
  const int lowest_free = dup(0);
  close(lowest_free);
  rlimit limit{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
  const rlimit lowered{static_cast<rlim_t>(lowest_free), limit.rlim_max};
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &lowered), 0);
  accept_calls = 0;
  for (const int fd : held) at_path(fd, path_, connect);
  std::this_thread::sleep_for(std::chrono::seconds(2));
  EXPECT_TRUE(accept_calls >= 1 && accept_calls <= 10) << accept_calls;

  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &limit), 0);
  std::string want;
  hdx_milter::Session(filter_).receive(stream(0), want);
  EXPECT_TRUE(exchange(path_, stream(0), want.size()) == want);
  for (const int fd : held) close(fd);
  engine.stop();
  engine.join();
}

}  // namespace
