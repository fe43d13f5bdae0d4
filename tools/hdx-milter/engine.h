// The filter's engine: the listening socket, and a fixed number of threads that each wait on
// epoll for the connections they accepted. A wake-up reads what has come (up to 64 KiB), acts on
// every complete packet in it and writes all their replies in one call; a connection stays with
// the thread that accepted it, so threads share nothing but the listening socket and the log.
#ifndef HDX_MILTER_ENGINE_H
#define HDX_MILTER_ENGINE_H

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "protocol.h"

namespace hdx_milter {

// The socket the MTA connects to, in the forms other milters take: inet:PORT@HOST,
// inet6:PORT@HOST (HOST may be left out for every address), unix:PATH or local:PATH, or a bare
// PATH. A unix socket's file is made 0660 and replaces one that a crash left behind.
struct Listener {
  int fd = -1;            // -1 when it could not be opened, with `error` saying why
  std::string unix_path;  // the socket file, to remove on the way out
  std::string error;
};
Listener listen_on(const std::string& socket);

struct EngineSettings {
  int threads = 1;
  // An MTA connection that sends nothing for this long is closed, as libmilter's default does.
  std::chrono::seconds idle = std::chrono::seconds(7210);
  // After stop(), how long messages in flight have to finish before their connections close.
  std::chrono::seconds drain = std::chrono::seconds(5);
};

class Engine {
 public:
  Engine(int listener, const Filter& filter, EngineSettings settings);
  ~Engine();
  Engine(const Engine&) = delete;
  Engine& operator=(const Engine&) = delete;

  // Starts the threads; false, with error() saying why, if they cannot be started.
  bool start();
  // Safe from any thread: no new connections are taken, each connection closes once it is
  // between messages (or after the drain time), and the threads end.
  void stop();
  // Waits for the threads to end.
  void join();
  const std::string& error() const { return error_; }
  // Whether a thread stopped because it could no longer wait for events; it has said why on
  // standard error and sent the process SIGTERM, so that every thread stops.
  bool failed() const { return failed_; }

 private:
  // Each thread waits on an epoll instance of its own, made before the thread starts, so that a
  // failure to make it stops the filter rather than leaving a thread that hears nothing.
  int watch_listener_and_stop();
  // The listening socket wakes one waiting thread per connection, which takes it for good.
  bool watch_listener(int ep);
  void run(int ep);

  int listener_;
  int stop_event_;
  const Filter& filter_;
  EngineSettings settings_;
  std::vector<std::thread> threads_;
  std::string error_;
  std::atomic<bool> failed_ = false;
};

}  // namespace hdx_milter

#endif  // HDX_MILTER_ENGINE_H
