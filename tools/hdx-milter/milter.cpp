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
#include <algorithm>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine.h"
#include "fields.h"
#include "log.h"

namespace {

constexpr const char* kUsage =
    "usage: hdx-milter [-p SOCKET] [-c FILE] [-f] [--header NAME] [--log FILE|-]\n"
    "                  [--reject CHECKS] [--quarantine CHECKS] [--trusted-hosts RANGES]\n"
    "       hdx-milter -c FILE --check-config\n"
    "\n"
    "  -p, --socket SOCKET  where the MTA connects: inet:PORT@HOST, inet6:PORT@HOST or\n"
    "                       unix:PATH (default inet:8894@127.0.0.1)\n"
    "  -c, --config FILE    read settings from FILE: lines of \"key = value\" with the keys\n"
    "                       socket, header, log and the policy's (reject, quarantine,\n"
    "                       trusted-hosts, authenticated, exempt); options on the command\n"
    "                       line win; SIGHUP reads it again\n"
    "      --check-config   check FILE, print the policy in force, and exit: 0 if it is good\n"
    "  -f, --foreground     stay in the foreground instead of detaching\n"
    "      --header NAME    name of the added field (default X-HDX-Identity)\n"
    "      --log FILE       one JSON line per message to FILE, or - for standard output;\n"
    "                       SIGUSR1 and SIGHUP reopen it, after log rotation\n"
    "      --reject CHECKS  refuse (550 5.7.1) a message for which one of these fires, a\n"
    "                       list such as \"from-multiple, from-ambiguous\"; default none\n"
    "      --quarantine CHECKS  hold such a message in the MTA's quarantine; default none\n"
    "                       checks: from-missing, from-multiple, from-list, from-unreadable,\n"
    "                       from-ambiguous, from-display-address, envelope-mismatch\n"
    "      --trusted-hosts RANGES  clients only marked, never refused or held: addresses\n"
    "                       and ranges such as \"192.0.2.0/24, 2001:db8::/32\"; default the\n"
    "                       loopback addresses\n"
    "  -h, --help           this text\n"
    "  -V, --version        the version\n";

struct Settings {
  std::string socket = "inet:8894@127.0.0.1";
  std::string header{hdx_common::kFieldName};
  std::string log;
  bool foreground = false;
  bool check_only = false;
  std::string config;
  // The policy's keys given on the command line, which win over the file's.
  std::vector<std::pair<std::string, std::string>> policy_options;
};

// The keys the filter reads itself; the policy's parser skips them.
const std::vector<std::string_view> kFilterKeys = {"socket", "header", "log"};

// One thread: the filter's work per message is a few microseconds, and a second thread only adds
// wake-ups that another core pays for. With bench/milter_load.sh on two cores, two threads took
// 245 us of CPU a message against one thread's 235 us, in no less time.
constexpr int kThreads = 1;

// The policy from the config file, if any, and the command line's keys after it; nullopt, with
// `error` naming the file and line, where either is wrong. The filter's own keys are taken into
// `s` where the command line did not set them (`given`).
std::optional<hdx_common::Policy> read_policy(Settings& s, const std::vector<std::string>& given,
                                              std::string& error) {
  std::string text;
  if (!s.config.empty()) {
    std::ifstream in(s.config);
    if (!in) {
      error = "cannot read " + s.config + ": " + std::strerror(errno);
      return std::nullopt;
    }
    for (std::string line; std::getline(in, line);) {
      text += line + '\n';
      const std::size_t eq = line.find('=');
      const std::string key(hdx_common::trim_blanks(std::string_view(line).substr(0, eq)));
      if (eq == std::string::npos || std::find(given.begin(), given.end(), key) != given.end()) {
        continue;
      }
      const std::string value(hdx_common::trim_blanks(std::string_view(line).substr(eq + 1)));
      if (key == "socket") s.socket = value;
      if (key == "header") s.header = value;
      if (key == "log") s.log = value;
    }
  }
  for (const auto& [key, value] : s.policy_options) text += key + " = " + value + '\n';
  return hdx_common::parse_policy(text, s.config.empty() ? "command line" : s.config, kFilterKeys,
                                  error);
}

// Signals are taken by this thread alone, in sigwait: SIGUSR1 reopens the log, after log rotation;
// SIGHUP reads the config file again and reopens the log, keeping the policy in force where the
// file is wrong; SIGTERM and SIGINT stop the filter, letting messages in flight finish. Every
// signal is blocked before the engine starts its threads, which inherit the mask.
int serve_until_stopped(hdx_milter::Engine& engine, hdx_milter::Log& identity_log,
                        hdx_milter::Filter& filter, Settings settings,
                        const std::vector<std::string>& given) {
  sigset_t taken;
  sigemptyset(&taken);
  for (const int s : {SIGUSR1, SIGTERM, SIGINT, SIGHUP}) sigaddset(&taken, s);
  for (int signal = 0; sigwait(&taken, &signal) == 0;) {
    if (signal != SIGUSR1 && signal != SIGHUP) break;
    if (signal == SIGHUP) {
      std::string error;
      Settings again = settings;
      if (const auto policy = read_policy(again, given, error)) {
        std::atomic_store(&filter.policy, std::make_shared<const hdx_common::Policy>(*policy));
      } else {
        std::fprintf(stderr, "hdx-milter: %s; the policy in force stays\n", error.c_str());
      }
    }
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
  std::vector<std::string> given;  // the keys the command line set
  hdx_milter::Log identity_log;
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
    } else if (arg == "--check-config") {
      settings.check_only = true;
    } else if ((arg == "-p" || arg == "--socket") && (v = value())) {
      settings.socket = v;
      given.emplace_back("socket");
    } else if ((arg == "-c" || arg == "--config") && (v = value())) {
      settings.config = v;
    } else if (arg == "--header" && (v = value()) && *v != '\0') {
      settings.header = v;
      given.emplace_back("header");
    } else if (arg == "--log" && (v = value())) {
      settings.log = v;
      given.emplace_back("log");
    } else if ((arg == "--reject" || arg == "--quarantine" || arg == "--trusted-hosts") &&
               (v = value())) {
      settings.policy_options.emplace_back(arg.substr(2), v);
    } else {
      return bad_usage("bad argument '" + std::string(arg) + "'");
    }
  }
  std::string error;
  const auto policy = read_policy(settings, given, error);
  if (settings.check_only) {
    if (policy) std::fputs(policy->describe().c_str(), stdout);
    if (!policy) std::fprintf(stderr, "hdx-milter: %s\n", error.c_str());
    return policy ? 0 : 1;
  }
  if (!policy) {
    std::fprintf(stderr, "hdx-milter: %s\n", error.c_str());
    return 2;
  }
  hdx_milter::Filter filter{settings.header, settings.log.empty() ? nullptr : &identity_log,
                            std::make_shared<const hdx_common::Policy>(*policy)};
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
  const int status = serve_until_stopped(engine, identity_log, filter, settings, given);
  if (!listener.unix_path.empty()) unlink(listener.unix_path.c_str());
  return status;
}
