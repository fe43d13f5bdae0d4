// The filter's engine over a real socket, with many MTA connections at once on two threads;
// built with ThreadSanitizer, which reports any data race. Each connection must get exactly the
// replies that its own bytes get from a lone session, whatever else comes in meanwhile (a peer
// that breaks the protocol, one that goes quiet), and the engine must stop when told.
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "engine.h"
#include "milter_packets.h"

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

int connect_to(const std::string& path) {
  const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  path.copy(addr.sun_path, sizeof addr.sun_path - 1);
  EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  return fd;
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

TEST(MilterEngine, ManyConnectionsOnTwoThreads) {
  char dir[] = "/tmp/hdx-engine-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string path = std::string(dir) + "/milter.sock";
  const hdx_milter::Listener listener = hdx_milter::listen_on("unix:" + path);
  ASSERT_GE(listener.fd, 0) << listener.error;
  const hdx_milter::Filter filter;
  hdx_milter::Engine engine(listener.fd, filter, {.threads = 2});
  ASSERT_TRUE(engine.start());

  constexpr int kClients = 8;
  std::vector<std::string> want(kClients), got(kClients);
  for (int c = 0; c < kClients; ++c) hdx_milter::Session(filter).receive(stream(c), want[c]);
  // Alongside: a peer that sends a length over the cap, and one that sends half a packet and
  // stays; neither may hold the others up.
  const int hostile = connect_to(path), quiet = connect_to(path);
  ASSERT_EQ(write(hostile, "\xff\xff\xff\xffL", 5), 5);
  ASSERT_EQ(write(quiet, "\0\0", 2), 2);
  std::vector<std::thread> clients;
  for (int c = 0; c < kClients; ++c) {
    clients.emplace_back([&, c] { got[c] = exchange(path, stream(c), want[c].size()); });
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
  close(listener.fd);
  unlink(path.c_str());
  rmdir(dir);
}

}  // namespace
