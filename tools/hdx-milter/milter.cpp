// hdx-milter: a mail filter that adds one header field with the sender's identity, as libhdx reads
// it, to every message the MTA accepts, and optionally logs it as a JSON line. Mail is never
// rejected or delayed because of it: every callback continues the message, whatever happens.
#include <arpa/inet.h>
#include <libmilter/mfapi.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <new>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>

#include "connection.h"
#include "log.h"

namespace {

using hdx_milter::Connection;

constexpr const char* kUsage =
    "usage: hdx-milter [-p SOCKET] [-c FILE] [-f] [--header NAME] [--log FILE|-]\n"
    "\n"
    "  -p, --socket SOCKET  where the MTA connects: inet:PORT@HOST, inet6:PORT@HOST or\n"
    "                       unix:PATH (default inet:8894@127.0.0.1)\n"
    "  -c, --config FILE    read settings from FILE: lines of \"key = value\" with the keys\n"
    "                       socket, header and log; options on the command line win\n"
    "  -f, --foreground     stay in the foreground instead of detaching\n"
    "      --header NAME    name of the added field (default X-HDX-Identity)\n"
    "      --log FILE       one JSON line per message to FILE, or - for standard output;\n"
    "                       SIGUSR1 reopens it, after log rotation\n"
    "  -h, --help           this text\n"
    "  -V, --version        the version\n";

struct Settings {
  std::string socket = "inet:8894@127.0.0.1";
  std::string header = "X-HDX-Identity";
  std::string log;
  bool foreground = false;
};

// Set before the first connection and only read afterwards, by every connection's thread (the
// log is reopened in place, see Log).
Settings settings;
hdx_milter::Log identity_log;

// Steps the filter never reads: the MTA is asked not to send them at all. DATA is kept, and
// answered: the MTA holds what it sends unanswered until it next waits for an answer, and at DATA
// that sends the envelope off before the SMTP client's message comes in. Without that wait, what
// was held goes out just before the header fields, which Nagle's algorithm on the MTA's side then
// holds back until the filter acknowledges it, up to 40 ms later.
constexpr unsigned long kUnreadSteps = SMFIP_NOHELO | SMFIP_NOUNKNOWN | SMFIP_NOEOH | SMFIP_NOBODY;
// Steps the filter reads but always lets go on: the MTA is asked not to wait for an answer, which
// saves a round trip, and so a wake-up on either side, for each of them.
constexpr unsigned long kUnansweredSteps =
    SMFIP_NR_CONN | SMFIP_NR_MAIL | SMFIP_NR_RCPT | SMFIP_NR_HDR;

Connection* connection(SMFICTX* ctx) { return static_cast<Connection*>(smfi_getpriv(ctx)); }

// The connection's state, made on first use: negotiation comes first, but an MTA may skip it.
Connection* connection_made(SMFICTX* ctx) {
  Connection* c = connection(ctx);
  if (c == nullptr && (c = new (std::nothrow) Connection) != nullptr) smfi_setpriv(ctx, c);
  return c;
}

// Runs a callback's work; a fault inside the filter (no memory, an argument the MTA left out)
// leaves the message to go on unchanged. STEP is the callback's SMFIP_NR_* flag: the answer is
// "go on", or none at all where the MTA agreed to that for the step.
template <class Work>
sfsistat guarded(SMFICTX* ctx, unsigned long step, Work work) {
  Connection* c = connection(ctx);
  try {
    if (c != nullptr) work(*c);
  } catch (...) {
  }
  return c != nullptr && (c->unanswered & step) != 0 ? SMFIS_NOREPLY : SMFIS_CONTINUE;
}

std::string address_text(const sockaddr* addr) {
  char text[INET6_ADDRSTRLEN] = "";
  if (addr == nullptr) return "";
  if (addr->sa_family == AF_INET) {
    inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(addr)->sin_addr, text, sizeof text);
  } else if (addr->sa_family == AF_INET6) {
    inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(addr)->sin6_addr, text, sizeof text);
  }
  return text;
}

sfsistat on_negotiate(SMFICTX* ctx, unsigned long actions, unsigned long steps, unsigned long,
                      unsigned long, unsigned long* actions_wanted, unsigned long* steps_wanted,
                      unsigned long* unused1, unsigned long* unused2) {
  *actions_wanted = actions & (SMFIF_ADDHDRS | SMFIF_CHGHDRS);
  *unused1 = *unused2 = 0;
  // Header values with their leading space, so that each field is rebuilt exactly. Without its
  // state a connection is let through unread, and every step is answered as the MTA expects.
  Connection* c = connection_made(ctx);
  *steps_wanted = c == nullptr ? 0 : steps & (SMFIP_HDR_LEADSPC | kUnreadSteps | kUnansweredSteps);
  if (c != nullptr) {
    c->lead_space = (*steps_wanted & SMFIP_HDR_LEADSPC) != 0;
    c->unanswered = *steps_wanted & kUnansweredSteps;
  }
  return SMFIS_CONTINUE;
}

sfsistat on_connect(SMFICTX* ctx, char*, _SOCK_ADDR* addr) {
  connection_made(ctx);  // an MTA may skip negotiation
  return guarded(ctx, SMFIP_NR_CONN,
                 [addr](Connection& c) { c.id.peer = std::string_view(address_text(addr)); });
}

sfsistat on_mail(SMFICTX* ctx, char** argv) {
  return guarded(ctx, SMFIP_NR_MAIL, [argv](Connection& c) { c.mail(argv); });
}

sfsistat on_rcpt(SMFICTX* ctx, char** argv) {
  return guarded(ctx, SMFIP_NR_RCPT, [argv](Connection& c) { c.rcpt(argv); });
}

sfsistat on_header(SMFICTX* ctx, char* name, char* value) {
  return guarded(ctx, SMFIP_NR_HDR, [name, value](Connection& c) {
    if (name != nullptr && value != nullptr) c.header(name, value, settings.header);
  });
}

sfsistat on_eom(SMFICTX* ctx) {
  return guarded(ctx, 0, [ctx](Connection& c) {
    // A field that came with the message under the filter's name was written by someone else, and
    // whatever reads the first such field downstream must read the filter's: each goes, the last
    // first so that the earlier ones keep their numbers, before the filter adds its own.
    for (; c.forged > 0; --c.forged) smfi_chgheader(ctx, settings.header.data(), c.forged, nullptr);
    std::string value = c.added_value(settings.header);
    smfi_addheader(ctx, settings.header.data(), value.data());
    const char* queue_id = smfi_getsymval(ctx, const_cast<char*>("i"));
    identity_log.write(hdx_common::log_line(c.id, queue_id != nullptr ? queue_id : ""));
  });
}

sfsistat on_abort(SMFICTX* ctx) {
  return guarded(ctx, 0, [](Connection& c) { c.start_message(); });
}

sfsistat on_close(SMFICTX* ctx) {
  delete connection(ctx);
  smfi_setpriv(ctx, nullptr);
  return SMFIS_CONTINUE;
}

bool read_config(const std::string& path, Settings& s) {
  const Settings given = s;  // what the command line set
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
    // Options given on the command line win over the file.
    const Settings defaults;
    if (key == "socket" && given.socket == defaults.socket) s.socket = value;
    if (key == "header" && given.header == defaults.header) s.header = value;
    if (key == "log" && given.log.empty()) s.log = value;
  }
  return true;
}

// At the end of a message the filter answers in small writes, the added field and then the
// verdict, and the MTA reads on until the verdict. With Nagle's algorithm the verdict waits for
// the MTA to acknowledge the field, which it delays by up to 40 ms: a stall per message. libmilter
// gives no hold on the connections, but a TCP listening socket passes TCP_NODELAY on to every
// connection it accepts, so it is set on the listening socket libmilter has just opened.
void send_tcp_answers_at_once() {
  for (int fd = 0; fd < 1024; ++fd) {
    int listening = 0;
    socklen_t size = sizeof listening;
    sockaddr_storage addr{};
    socklen_t addr_size = sizeof addr;
    const bool tcp_listener =
        getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &size) == 0 && listening != 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &addr_size) == 0 &&
        (addr.ss_family == AF_INET || addr.ss_family == AF_INET6);
    const int on = 1;
    if (tcp_listener) setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  }
}

// The socket file of a unix: socket is read and written by its owner and group alone (0660),
// whatever umask the filter was started with: the MTA reaches it through the group. A socket
// file left behind by a crash is replaced.
bool open_socket() {
  const mode_t started_with = umask(0117);
  const bool open = smfi_setconn(settings.socket.data()) == MI_SUCCESS &&
                    smfi_opensocket(true) == MI_SUCCESS;
  umask(started_with);
  if (open) send_tcp_answers_at_once();
  return open;
}

// libmilter keeps SIGHUP, SIGTERM and SIGINT for itself (each one stops it), so the log is
// reopened on SIGUSR1, by a thread that waits for nothing else. Every other thread blocks SIGUSR1,
// so that this one alone takes it; this one blocks every signal, so that the others still reach
// libmilter's own thread. Called before libmilter starts its threads, which inherit the mask.
void reopen_log_on_sigusr1() {
  sigset_t every, usr1, before;
  sigfillset(&every);
  sigemptyset(&usr1);
  sigaddset(&usr1, SIGUSR1);
  pthread_sigmask(SIG_BLOCK, &every, &before);
  std::thread([usr1] {
    for (int signal = 0; sigwait(&usr1, &signal) == 0;) {
      if (!identity_log.reopen()) {
        std::fprintf(stderr, "hdx-milter: cannot reopen %s, still writing to the old file: %s\n",
                     identity_log.path().c_str(), std::strerror(errno));
      }
    }
  }).detach();
  sigaddset(&before, SIGUSR1);
  pthread_sigmask(SIG_SETMASK, &before, nullptr);
}

int bad_usage(const std::string& why) {
  std::fprintf(stderr, "hdx-milter: %s\n%s", why.c_str(), kUsage);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
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
    } else if ((arg == "-c" || arg == "--config") && (v = value())) {
      config = v;
    } else if (arg == "--header" && (v = value()) && *v != '\0') {
      settings.header = v;
    } else if (arg == "--log" && (v = value())) {
      settings.log = v;
    } else {
      return bad_usage("bad argument '" + std::string(arg) + "'");
    }
  }
  if (!config.empty() && !read_config(config, settings)) {
    return bad_usage("cannot read " + config + ": " + std::strerror(errno));
  }
  if (!settings.log.empty() && !identity_log.open(settings.log)) {
    return bad_usage("cannot open " + settings.log + ": " + std::strerror(errno));
  }

  smfiDesc filter{};
  filter.xxfi_name = const_cast<char*>("hdx-milter");
  filter.xxfi_version = SMFI_VERSION;
  filter.xxfi_flags = SMFIF_ADDHDRS | SMFIF_CHGHDRS;
  filter.xxfi_connect = on_connect;
  filter.xxfi_envfrom = on_mail;
  filter.xxfi_envrcpt = on_rcpt;
  filter.xxfi_header = on_header;
  filter.xxfi_eom = on_eom;
  filter.xxfi_abort = on_abort;
  filter.xxfi_close = on_close;
  filter.xxfi_negotiate = on_negotiate;
  // Room for header fields up to the cap the filter reads, where the MTA can send them.
  smfi_setmaxdatasize(1 << 20);
  if (smfi_register(filter) != MI_SUCCESS || !open_socket()) {
    std::fprintf(stderr, "hdx-milter: cannot listen on %s\n", settings.socket.c_str());
    return 1;
  }
  if (!settings.foreground && daemon(0, settings.log == "-") != 0) {
    std::perror("hdx-milter: daemon");
    return 1;
  }
  try {
    reopen_log_on_sigusr1();
  } catch (const std::system_error& e) {
    std::fprintf(stderr, "hdx-milter: %s\n", e.what());
    return 1;
  }
  // libmilter stops cleanly on SIGTERM, SIGINT and SIGHUP.
  return smfi_main() == MI_SUCCESS ? 0 : 1;
}
