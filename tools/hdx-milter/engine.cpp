// The event loop of each thread, and the listening socket.
#include "engine.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <list>
#include <memory>
#include <system_error>

namespace hdx_milter {
namespace {

using Clock = std::chrono::steady_clock;

// What one wake-up reads of a connection at most. Postfix sends a message's header fields in
// packets of their own, back to back, so one read takes many of them.
constexpr std::size_t kReadSize = 64 * 1024;
// Idle connections are looked for this often; a stopping engine looks more often.
constexpr auto kSweep = std::chrono::seconds(60);
constexpr auto kStoppingSweep = std::chrono::milliseconds(100);
// Out of descriptors, how long a thread waits before it tries to accept again, unless one of its
// connections closes first.
constexpr auto kAcceptBackoff = std::chrono::seconds(1);

struct Peer {
  Peer(int descriptor, const Filter& filter, Clock::time_point now)
      : fd(descriptor), session(filter), last_read(now) {}
  ~Peer() { ::close(fd); }
  Peer(const Peer&) = delete;
  Peer& operator=(const Peer&) = delete;

  int fd;
  Session session;
  std::string replies;  // not yet written: the MTA reads slower than it sends
  Clock::time_point last_read;
  bool open = true;     // false once the MTA quit or broke the protocol
  bool waiting = false;  // for room to write; nothing is read meanwhile, which bounds `replies`
  std::list<Peer>::iterator self;
};

// The other end of a connection, for the log: "ADDRESS:PORT", "[ADDRESS]:PORT", or the process
// on a unix socket.
std::string describe_peer(int fd) {
  sockaddr_storage addr{};
  socklen_t len = sizeof addr;
  if (::getpeername(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) return "unknown peer";
  char host[INET6_ADDRSTRLEN] = "";
  if (addr.ss_family == AF_INET) {
    const auto& in = reinterpret_cast<const sockaddr_in&>(addr);
    ::inet_ntop(AF_INET, &in.sin_addr, host, sizeof host);
    return std::string(host) + ":" + std::to_string(ntohs(in.sin_port));
  }
  if (addr.ss_family == AF_INET6) {
    const auto& in6 = reinterpret_cast<const sockaddr_in6&>(addr);
    ::inet_ntop(AF_INET6, &in6.sin6_addr, host, sizeof host);
    return "[" + std::string(host) + "]:" + std::to_string(ntohs(in6.sin6_port));
  }
  ucred cred{};
  socklen_t cred_len = sizeof cred;
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &cred_len) == 0) {
    return "unix socket of pid " + std::to_string(cred.pid);
  }
  return "unix socket";
}

// Connections dropped for breaking the protocol or a cap, one line each on standard error, at
// most kLines a minute: a client that breaks the protocol on purpose cannot fill the journal. The
// first line after a full minute says how many went unlogged.
class DropLog {
 public:
  void note(Clock::time_point now, int fd, std::string_view reason) {
    static constexpr int kLines = 10;
    if (now - window_ >= std::chrono::minutes(1)) {
      end_window();
      window_ = now;
    }
    if (lines_ == kLines) {
      ++unlogged_;
      return;
    }
    ++lines_;
    std::fprintf(stderr, "hdx-milter: dropped the connection from %s: %.*s\n",
                 describe_peer(fd).c_str(), static_cast<int>(reason.size()), reason.data());
  }
  // Called at every wake-up: the count of what went unlogged appears once its minute is over,
  // whether or not another connection is dropped after it.
  void tick(Clock::time_point now) {
    if (unlogged_ != 0 && now - window_ >= std::chrono::minutes(1)) end_window();
  }

 private:
  void end_window() {
    if (unlogged_ != 0) {
      std::fprintf(stderr, "hdx-milter: %zu more connections dropped, not logged\n", unlogged_);
    }
    lines_ = 0;
    unlogged_ = 0;
  }

  Clock::time_point window_{};
  int lines_ = 0;
  std::size_t unlogged_ = 0;
};

Listener failed(std::string what) {
  return {-1, {}, what + ": " + std::strerror(errno)};
}

Listener listen_unix(const std::string& path) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof addr.sun_path) {
    return {-1, {}, "unix socket path is empty or too long: " + path};
  }
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  struct stat st{};
  if (::lstat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode)) ::unlink(path.c_str());
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return failed("socket");
  // Read and written by owner and group alone, whatever umask the filter was started with: the
  // MTA reaches it through the group.
  const mode_t started_with = ::umask(0117);
  const bool bound = ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  ::umask(started_with);
  if (!bound || ::listen(fd, SOMAXCONN) != 0) {
    Listener l = failed(path);
    ::close(fd);
    return l;
  }
  return {fd, path, {}};
}

Listener listen_inet(int family, const std::string& where) {
  const std::size_t at = where.find('@');
  const std::string port = where.substr(0, at);
  const std::string host = at == std::string::npos ? "" : where.substr(at + 1);
  addrinfo hints{};
  hints.ai_family = family;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE;
  addrinfo* found = nullptr;
  if (const int rc = ::getaddrinfo(host.empty() ? nullptr : host.c_str(), port.c_str(), &hints,
                                   &found);
      rc != 0) {
    return {-1, {}, where + ": " + ::gai_strerror(rc)};
  }
  const std::unique_ptr<addrinfo, void (*)(addrinfo*)> owned(found, ::freeaddrinfo);
  const int fd = ::socket(found->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return failed("socket");
  // Replies go out at once: the MTA waits for each, and Nagle's algorithm would hold one back
  // until the MTA acknowledged the one before. A listening socket hands TCP_NODELAY on to every
  // connection it accepts, which saves a call per connection.
  const int on = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  if (::bind(fd, found->ai_addr, found->ai_addrlen) != 0 || ::listen(fd, SOMAXCONN) != 0) {
    Listener l = failed(where);
    ::close(fd);
    return l;
  }
  return {fd, {}, {}};
}

}  // namespace

Listener listen_on(const std::string& socket) {
  const std::size_t colon = socket.find(':');
  const std::string kind = colon == std::string::npos ? "" : socket.substr(0, colon);
  const std::string rest = socket.substr(colon + 1);
  if (kind == "inet") return listen_inet(AF_INET, rest);
  if (kind == "inet6") return listen_inet(AF_INET6, rest);
  if (kind == "unix" || kind == "local") return listen_unix(rest);
  return listen_unix(socket);
}

Engine::Engine(int listener, const Filter& filter, EngineSettings settings)
    : listener_(listener),
      stop_event_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)),
      filter_(filter),
      settings_(settings) {}

Engine::~Engine() {
  stop();
  join();
  ::close(stop_event_);
}

bool Engine::start() {
  if (stop_event_ < 0) {
    error_ = std::string("eventfd: ") + std::strerror(errno);
    return false;
  }
  for (int i = 0; i < settings_.threads; ++i) {
    const int ep = watch_listener_and_stop();
    if (ep < 0) break;
    try {
      threads_.emplace_back([this, ep] { run(ep); });
    } catch (const std::system_error& e) {
      ::close(ep);
      error_ = std::string("cannot start a thread: ") + e.what();
      break;
    }
  }
  if (error_.empty()) return true;
  stop();
  join();
  return false;
}

int Engine::watch_listener_and_stop() {
  const int ep = ::epoll_create1(EPOLL_CLOEXEC);
  if (ep < 0) {
    error_ = std::string("epoll_create1: ") + std::strerror(errno);
    return -1;
  }
  epoll_event stop_event{EPOLLIN, {.ptr = &stop_event_}};
  if (::epoll_ctl(ep, EPOLL_CTL_ADD, stop_event_, &stop_event) != 0 || !watch_listener(ep)) {
    error_ = std::string("epoll_ctl: ") + std::strerror(errno);
    ::close(ep);
    return -1;
  }
  return ep;
}

void Engine::stop() {
  // Never read, so every thread's epoll sees it from now on.
  const std::uint64_t one = 1;
  [[maybe_unused]] const ssize_t n = ::write(stop_event_, &one, sizeof one);
}

void Engine::join() {
  for (auto& t : threads_) t.join();
  threads_.clear();
}

bool Engine::watch_listener(int ep) {
  epoll_event listen_event{EPOLLIN | EPOLLEXCLUSIVE, {.ptr = &listener_}};
  return ::epoll_ctl(ep, EPOLL_CTL_ADD, listener_, &listen_event) == 0;
}

void Engine::run(int ep) {
  std::list<Peer> peers;
  DropLog drops;
  bool stopping = false;
  // Out of descriptors, the listening socket stays readable while connections wait, and each
  // accept fails at once: rather than spin on it, the thread stops watching it until one of its
  // own connections closes or the back-off ends, and serves the connections it has meanwhile.
  bool accepting = true, starved = false;
  Clock::time_point accept_again{};
  const auto resume_accepting = [&](Clock::time_point now) {
    if (accepting || stopping) return;
    accepting = watch_listener(ep);
    if (!accepting) accept_again = now + kAcceptBackoff;
  };
  const auto close_peer = [&](Peer& p, Clock::time_point now) {
    if (const std::string_view fault = p.session.fault(); !fault.empty()) {
      drops.note(now, p.fd, fault);
    }
    peers.erase(p.self);
    resume_accepting(now);
  };
  const auto accept_one = [&](Clock::time_point now) {
    const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0 && (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)) {
      // One line an episode: it ends with the next connection accepted.
      if (!starved) {
        std::fprintf(stderr, "hdx-milter: cannot accept connections (%s); waiting for one to "
                     "close\n", std::strerror(errno));
      }
      starved = true;
      accepting = false;
      accept_again = now + kAcceptBackoff;
      ::epoll_ctl(ep, EPOLL_CTL_DEL, listener_, nullptr);
      return;
    }
    if (fd < 0) return;  // the client gave up meanwhile
    starved = false;
    try {
      Peer& p = peers.emplace_front(fd, filter_, now);
      p.self = peers.begin();
      epoll_event e{EPOLLIN, {.ptr = &p}};
      if (::epoll_ctl(ep, EPOLL_CTL_ADD, fd, &e) != 0) close_peer(p, now);
    } catch (const std::bad_alloc&) {
      ::close(fd);
    }
  };
  // Watches a connection for room to write, or for what it sends; false if epoll refuses, when the
  // connection must go: watched for the wrong event, it would wake the thread for ever or never.
  const auto watch = [&](Peer& p, bool waiting) {
    p.waiting = waiting;
    epoll_event e{waiting ? EPOLLOUT : EPOLLIN, {.ptr = &p}};
    return ::epoll_ctl(ep, EPOLL_CTL_MOD, p.fd, &e) == 0;
  };
  // Writes what replies are held; false where the connection is to go.
  const auto flush = [&](Peer& p) {
    std::size_t sent = 0;
    while (sent < p.replies.size()) {
      const ssize_t n = ::send(p.fd, p.replies.data() + sent, p.replies.size() - sent,
                               MSG_NOSIGNAL);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
      if (n < 0) return false;
      sent += static_cast<std::size_t>(n);
    }
    p.replies.erase(0, sent);
    if (const bool full = !p.replies.empty(); full != p.waiting && !watch(p, full)) return false;
    return p.open || !p.replies.empty();
  };
  const auto serve = [&](Peer& p, std::uint32_t events, char* buffer, Clock::time_point now) {
    if (p.waiting && (events & (EPOLLOUT | EPOLLHUP | EPOLLERR)) != 0 && !flush(p)) {
      return close_peer(p, now);
    }
    if (p.waiting || (events & (EPOLLIN | EPOLLHUP | EPOLLERR)) == 0) return;
    const ssize_t n = ::recv(p.fd, buffer, kReadSize, 0);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return;
    if (n <= 0) return close_peer(p, now);
    p.last_read = now;
    p.open = p.session.receive({buffer, static_cast<std::size_t>(n)}, p.replies);
    if (!flush(p)) close_peer(p, now);
  };

  const std::unique_ptr<char[]> buffer(new char[kReadSize]);
  epoll_event events[64];
  Clock::time_point deadline{}, next_sweep = Clock::now() + kSweep;
  while (!stopping || !peers.empty()) {
    Clock::duration wait = stopping ? Clock::duration(kStoppingSweep) : kSweep;
    if (!accepting) wait = std::min(wait, std::max(accept_again - Clock::now(), {}));
    const int n = ::epoll_wait(ep, events, 64, static_cast<int>(
        std::chrono::ceil<std::chrono::milliseconds>(wait).count()));
    const Clock::time_point now = Clock::now();
    if (n < 0 && errno != EINTR) {
      // Nothing this thread watches can be heard any more: the filter stops, with the reason,
      // rather than run deaf. The signal reaches the thread that waits for signals.
      std::fprintf(stderr, "hdx-milter: epoll_wait: %s; stopping\n", std::strerror(errno));
      failed_ = true;
      ::kill(::getpid(), SIGTERM);
      break;
    }
    drops.tick(now);
    for (int i = 0; i < n; ++i) {
      void* const which = events[i].data.ptr;
      if (which == &listener_) {
        if (accepting) accept_one(now);  // an event of this wake-up may have come before a pause
      } else if (which == &stop_event_) {
        if (!stopping) deadline = now + settings_.drain;
        stopping = true;
        ::epoll_ctl(ep, EPOLL_CTL_DEL, listener_, nullptr);
        ::epoll_ctl(ep, EPOLL_CTL_DEL, stop_event_, nullptr);
      } else {
        serve(*static_cast<Peer*>(which), events[i].events, buffer.get(), now);
      }
    }
    if (!accepting && now >= accept_again) resume_accepting(now);
    // Connections go after the wake-up's events, which may name any of them.
    if (stopping || now >= next_sweep) {
      next_sweep = now + kSweep;
      for (auto it = peers.begin(); it != peers.end();) {
        Peer& p = *it++;
        const bool idle = now - p.last_read >= settings_.idle;
        const bool drained = stopping && (!p.session.in_message() || now >= deadline);
        if (idle || drained) close_peer(p, now);
      }
    }
  }
  ::close(ep);
}

}  // namespace hdx_milter
