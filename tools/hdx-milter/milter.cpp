// hdx-milter: a mail filter that adds one header field with the sender's identity, as libhdx reads
// it, and the sender checks that fire, to every message the MTA accepts, and optionally logs it as
// a JSON line. Mail is refused or held only for the checks the admin names; otherwise every step
// continues the message, whatever happens.
#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <string_view>

#include "engine.h"
#include "log.h"

namespace {

constexpr const char* kUsage =
    "usage: hdx-milter [-p SOCKET] [-c FILE] [-f] [--header NAME] [--log FILE|-]\n"
    "                  [--reject CHECKS] [--quarantine CHECKS]\n"
    "\n"
    "  -p, --socket SOCKET  where the MTA connects: inet:PORT@HOST, inet6:PORT@HOST or\n"
    "                       unix:PATH (default inet:8894@127.0.0.1)\n"
    "  -c, --config FILE    read settings from FILE: lines of \"key = value\" with the keys\n"
    "                       socket, header, log, reject and quarantine; options on the\n"
    "                       command line win\n"
    "  -f, --foreground     stay in the foreground instead of detaching\n"
    "      --header NAME    name of the added field (default X-HDX-Identity)\n"
    "      --log FILE       one JSON line per message to FILE, or - for standard output;\n"
    "                       SIGUSR1 reopens it, after log rotation\n"
    "      --reject CHECKS  refuse (550 5.7.1) a message for which one of these fires, a\n"
    "                       list such as \"from-multiple, from-ambiguous\"; default none\n"
    "      --quarantine CHECKS  hold such a message in the MTA's quarantine; default none\n"
    "                       checks: from-missing, from-multiple, from-list, from-unreadable,\n"
    "                       from-ambiguous, from-display-address, envelope-mismatch\n"
    "  -h, --help           this text\n"
    "  -V, --version        the version\n";

struct Settings {
  std::string socket = "inet:8894@127.0.0.1";
  std::string header{hdx_common::kFieldName};
  std::string log, reject, quarantine;
  bool foreground = false;
};

// The keys that the command line set, which the config file does not override.
struct Given {
  bool socket = false, header = false, log = false, reject = false, quarantine = false;
};

// One thread: the filter's work per message is a few microseconds, and a second thread only adds
// wake-ups that another core pays for. With bench/milter_load.sh on two cores, two threads took
// 245 us of CPU a message against one thread's 235 us, in no less time.
constexpr int kThreads = 1;

bool read_config(const std::string& path, const Given& given, Settings& s) {
  std::ifstream in(path);
  if (!in) return false;
  for (std::string line; std::getline(in, line);) {
    const auto trim = [](std::string t) {
      t.erase(0, t.find_first_not_of(" \t"));
      t.erase(t.find_last_not_of(" \t\r") + 1);
      return t;
    };
    line = trim(line);
    const std::size_t eq = line.find('=');
    if (line.empty() || line[0] == '#' || eq == std::string::npos) continue;
    const std::string key = trim(line.substr(0, eq)), value = trim(line.substr(eq + 1));
    if (key == "socket" && !given.socket) s.socket = value;
    if (key == "header" && !given.header) s.header = value;
    if (key == "log" && !given.log) s.log = value;
    if (key == "reject" && !given.reject) s.reject = value;
    if (key == "quarantine" && !given.quarantine) s.quarantine = value;
  }
  return true;
}

// Signals are taken by this thread alone, in sigwait: SIGUSR1 reopens the log, after log rotation;
// SIGTERM, SIGINT and SIGHUP stop the filter, letting messages in flight finish. Every signal is
// blocked before the engine starts its threads, which inherit the mask.
int serve_until_stopped(hdx_milter::Engine& engine, hdx_milter::Log& identity_log) {
  sigset_t taken;
  sigemptyset(&taken);
  for (const int s : {SIGUSR1, SIGTERM, SIGINT, SIGHUP}) sigaddset(&taken, s);
  for (int signal = 0; sigwait(&taken, &signal) == 0;) {
    if (signal != SIGUSR1) break;
    if (!identity_log.reopen()) {
      std::fprintf(stderr, "hdx-milter: cannot reopen %s, still writing to the old file: %s\n",
                   identity_log.path().c_str(), std::strerror(errno));
    }
  }
  engine.stop();
  engine.join();
  return engine.failed() ? 1 : 0;
}

int bad_usage(const std::string& why) {
  std::fprintf(stderr, "hdx-milter: %s\n%s", why.c_str(), kUsage);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  Settings settings;
  Given given;
  hdx_milter::Log identity_log;
  std::string config;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    const auto value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
    const char* v = nullptr;
    if (arg == "-h" || arg == "--help") {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (arg == "-V" || arg == "--version") {
      std::printf("hdx-milter %s\n", HDX_VERSION);
      return 0;
    } else if (arg == "-f" || arg == "--foreground") {
      settings.foreground = true;
    } else if ((arg == "-p" || arg == "--socket") && (v = value())) {
      settings.socket = v;
      given.socket = true;
    } else if ((arg == "-c" || arg == "--config") && (v = value())) {
      config = v;
    } else if (arg == "--header" && (v = value()) && *v != '\0') {
      settings.header = v;
      given.header = true;
    } else if (arg == "--log" && (v = value())) {
      settings.log = v;
      given.log = true;
    } else if (arg == "--reject" && (v = value())) {
      settings.reject = v;
      given.reject = true;
    } else if (arg == "--quarantine" && (v = value())) {
      settings.quarantine = v;
      given.quarantine = true;
    } else {
      return bad_usage("bad argument '" + std::string(arg) + "'");
    }
  }
  if (!config.empty() && !read_config(config, given, settings)) {
    return bad_usage("cannot read " + config + ": " + std::strerror(errno));
  }
  hdx_milter::Filter filter{settings.header, settings.log.empty() ? nullptr : &identity_log, {}, {}};
  std::string unknown;
  for (auto [list, checks] : {std::pair{&settings.reject, &filter.reject},
                              std::pair{&settings.quarantine, &filter.quarantine}}) {
    const auto parsed = hdx_common::Checks::parse(*list, unknown);
    if (!parsed) return bad_usage("no such check: '" + unknown + "'");
    *checks = *parsed;
  }
  if (!settings.log.empty() && !identity_log.open(settings.log)) {
    return bad_usage("cannot open " + settings.log + ": " + std::strerror(errno));
  }

  const hdx_milter::Listener listener = hdx_milter::listen_on(settings.socket);
  if (listener.fd < 0) {
    std::fprintf(stderr, "hdx-milter: cannot listen on %s: %s\n", settings.socket.c_str(),
                 listener.error.c_str());
    return 1;
  }
  if (!settings.foreground && daemon(0, settings.log == "-") != 0) {
    std::perror("hdx-milter: daemon");
    return 1;
  }
  sigset_t every;
  sigfillset(&every);
  pthread_sigmask(SIG_BLOCK, &every, nullptr);
  hdx_milter::Engine engine(listener.fd, filter, {.threads = kThreads});
  if (!engine.start()) {
    std::fprintf(stderr, "hdx-milter: %s\n", engine.error().c_str());
    return 1;
  }
  const int status = serve_until_stopped(engine, identity_log);
  if (!listener.unix_path.empty()) unlink(listener.unix_path.c_str());
  return status;
}
