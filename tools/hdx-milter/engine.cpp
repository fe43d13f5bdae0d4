// The event loop of each thread, and the listening socket.
#include "engine.h"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
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
  if (stop_event_ < 0) return false;
  try {
    for (int i = 0; i < settings_.threads; ++i) threads_.emplace_back([this] { run(); });
  } catch (const std::system_error&) {
    stop();
    return false;
  }
  return true;
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

void Engine::run() {
  const int ep = ::epoll_create1(EPOLL_CLOEXEC);
  if (ep < 0) return;
  // The listening socket wakes one waiting thread per connection, which takes it for good.
  epoll_event listen_event{EPOLLIN | EPOLLEXCLUSIVE, {.ptr = &listener_}};
  epoll_event stop_event{EPOLLIN, {.ptr = &stop_event_}};
  ::epoll_ctl(ep, EPOLL_CTL_ADD, listener_, &listen_event);
  ::epoll_ctl(ep, EPOLL_CTL_ADD, stop_event_, &stop_event);

  std::list<Peer> peers;
  const auto close_peer = [&](Peer& p) { peers.erase(p.self); };
  const auto watch = [&](Peer& p, bool waiting) {
    p.waiting = waiting;
    epoll_event e{waiting ? EPOLLOUT : EPOLLIN, {.ptr = &p}};
    ::epoll_ctl(ep, EPOLL_CTL_MOD, p.fd, &e);
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
    if (const bool full = !p.replies.empty(); full != p.waiting) watch(p, full);
    return p.open || !p.replies.empty();
  };
  const auto serve = [&](Peer& p, std::uint32_t events, char* buffer, Clock::time_point now) {
    if (p.waiting && (events & (EPOLLOUT | EPOLLHUP | EPOLLERR)) != 0 && !flush(p)) {
      return close_peer(p);
    }
    if (p.waiting || (events & (EPOLLIN | EPOLLHUP | EPOLLERR)) == 0) return;
    const ssize_t n = ::recv(p.fd, buffer, kReadSize, 0);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return;
    if (n <= 0) return close_peer(p);
    p.last_read = now;
    p.open = p.session.receive({buffer, static_cast<std::size_t>(n)}, p.replies);
    if (!flush(p)) close_peer(p);
  };

  const std::unique_ptr<char[]> buffer(new char[kReadSize]);
  epoll_event events[64];
  bool stopping = false;
  Clock::time_point deadline{}, next_sweep = Clock::now() + kSweep;
  while (!stopping || !peers.empty()) {
    const auto wait = stopping ? kStoppingSweep : kSweep;
    const int n = ::epoll_wait(ep, events, 64, static_cast<int>(
        std::chrono::duration_cast<std::chrono::milliseconds>(wait).count()));
    const Clock::time_point now = Clock::now();
    for (int i = 0; i < n; ++i) {
      void* const which = events[i].data.ptr;
      if (which == &listener_) {
        const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) continue;
        try {
          Peer& p = peers.emplace_front(fd, filter_, now);
          p.self = peers.begin();
          epoll_event e{EPOLLIN, {.ptr = &p}};
          if (::epoll_ctl(ep, EPOLL_CTL_ADD, fd, &e) != 0) close_peer(p);
        } catch (const std::bad_alloc&) {
          ::close(fd);
        }
      } else if (which == &stop_event_) {
        if (!stopping) deadline = now + settings_.drain;
        stopping = true;
        ::epoll_ctl(ep, EPOLL_CTL_DEL, listener_, nullptr);
        ::epoll_ctl(ep, EPOLL_CTL_DEL, stop_event_, nullptr);
      } else {
        serve(*static_cast<Peer*>(which), events[i].events, buffer.get(), now);
      }
    }
    // Connections go after the wake-up's events, which may name any of them.
    if (stopping || now >= next_sweep) {
      next_sweep = now + kSweep;
      for (auto it = peers.begin(); it != peers.end();) {
        Peer& p = *it++;
        const bool idle = now - p.last_read >= settings_.idle;
        const bool drained = stopping && (!p.session.in_message() || now >= deadline);
        if (idle || drained) close_peer(p);
      }
    }
  }
  ::close(ep);
}

}  // namespace hdx_milter
