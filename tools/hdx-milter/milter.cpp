// hdx-milter: a mail filter that adds one header field with the sender's identity, as libhdx reads
// it, to every message the MTA accepts, and optionally logs it as a JSON line. Mail is never
// rejected or delayed because of it: every callback continues the message, whatever happens.
#include <arpa/inet.h>
#include <libmilter/mfapi.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <mutex>
#include <new>
#include <string>
#include <string_view>

#include "identity.h"

namespace {

using hdx_milter::Identity;

constexpr const char* kUsage =
    "usage: hdx-milter [-p SOCKET] [-c FILE] [-f] [--header NAME] [--log FILE|-]\n"
    "\n"
    "  -p, --socket SOCKET  where the MTA connects: inet:PORT@HOST, inet6:PORT@HOST or\n"
    "                       unix:PATH (default inet:8894@127.0.0.1)\n"
    "  -c, --config FILE    read settings from FILE: lines of \"key = value\" with the keys\n"
    "                       socket, header and log; options on the command line win\n"
    "  -f, --foreground     stay in the foreground instead of detaching\n"
    "      --header NAME    name of the added field (default X-HDX-Identity)\n"
    "      --log FILE       one JSON line per message to FILE, or - for standard output\n"
    "  -h, --help           this text\n"
    "  -V, --version        the version\n";

struct Settings {
  std::string socket = "inet:8894@127.0.0.1";
  std::string header = "X-HDX-Identity";
  std::string log;
  bool foreground = false;
};

// Set before the first connection and only read afterwards, by every connection's thread.
Settings settings;
std::FILE* log_file = nullptr;
std::mutex log_mutex;

// Every line is written whole, whatever the number of connections writing at once.
void write_log(const std::string& line) {
  if (log_file == nullptr) return;
  const std::lock_guard<std::mutex> lock(log_mutex);
  std::fwrite(line.data(), 1, line.size(), log_file);
  std::fflush(log_file);
}

// A connection's state: what it has learnt, and whether the MTA hands over header values with
// their leading space (and so expects added ones to carry it too).
struct Connection {
  Identity id;
  bool lead_space = false;
};

Connection* connection(SMFICTX* ctx) { return static_cast<Connection*>(smfi_getpriv(ctx)); }

// The connection's state, made on first use: negotiation comes first, but an MTA may skip it.
Connection* connection_made(SMFICTX* ctx) {
  Connection* c = connection(ctx);
  if (c == nullptr && (c = new (std::nothrow) Connection) != nullptr) smfi_setpriv(ctx, c);
  return c;
}

// Runs a callback's work; a fault inside the filter (no memory, an argument the MTA left out)
// leaves the message to go on unchanged.
template <class Work>
sfsistat guarded(SMFICTX* ctx, Work work) {
  try {
    if (Connection* c = connection(ctx)) work(*c);
  } catch (...) {
  }
  return SMFIS_CONTINUE;
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

sfsistat on_negotiate(SMFICTX* ctx, unsigned long, unsigned long steps, unsigned long,
                      unsigned long, unsigned long* actions_wanted, unsigned long* steps_wanted,
                      unsigned long* unused1, unsigned long* unused2) {
  *actions_wanted = SMFIF_ADDHDRS;
  // Header values with their leading space, so that each field is rebuilt exactly; no body.
  *steps_wanted = steps & (SMFIP_HDR_LEADSPC | SMFIP_NOBODY);
  *unused1 = *unused2 = 0;
  if (Connection* c = connection_made(ctx)) c->lead_space = (steps & SMFIP_HDR_LEADSPC) != 0;
  return SMFIS_CONTINUE;
}

sfsistat on_connect(SMFICTX* ctx, char*, _SOCK_ADDR* addr) {
  connection_made(ctx);  // without it, this connection is let through unread
  return guarded(ctx, [addr](Connection& c) { c.id.peer = address_text(addr); });
}

sfsistat on_mail(SMFICTX* ctx, char** argv) {
  return guarded(ctx, [argv](Connection& c) {
    c.id.start_message();
    c.id.mail_from(argv);
  });
}

sfsistat on_rcpt(SMFICTX* ctx, char** argv) {
  return guarded(ctx, [argv](Connection& c) { c.id.rcpt_to(argv); });
}

sfsistat on_header(SMFICTX* ctx, char* name, char* value) {
  return guarded(ctx, [name, value](Connection& c) {
    if (name != nullptr && value != nullptr) c.id.header(name, value);
  });
}

sfsistat on_eom(SMFICTX* ctx) {
  return guarded(ctx, [ctx](Connection& c) {
    std::string value =
        (c.lead_space ? " " : "") + hdx_milter::field_value(c.id, settings.header.size());
    smfi_addheader(ctx, settings.header.data(), value.data());
    const char* queue_id = smfi_getsymval(ctx, const_cast<char*>("i"));
    write_log(hdx_milter::log_line(c.id, queue_id != nullptr ? queue_id : ""));
  });
}

sfsistat on_abort(SMFICTX* ctx) {
  return guarded(ctx, [](Connection& c) { c.id.start_message(); });
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
  if (!settings.log.empty()) {
    log_file = settings.log == "-" ? stdout : std::fopen(settings.log.c_str(), "a");
    if (log_file == nullptr) {
      return bad_usage("cannot open " + settings.log + ": " + std::strerror(errno));
    }
  }

  smfiDesc filter{};
  filter.xxfi_name = const_cast<char*>("hdx-milter");
  filter.xxfi_version = SMFI_VERSION;
  filter.xxfi_flags = SMFIF_ADDHDRS;
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
  if (smfi_setconn(settings.socket.data()) != MI_SUCCESS || smfi_register(filter) != MI_SUCCESS ||
      smfi_opensocket(true) != MI_SUCCESS) {
    std::fprintf(stderr, "hdx-milter: cannot listen on %s\n", settings.socket.c_str());
    return 1;
  }
  if (!settings.foreground && daemon(0, settings.log == "-") != 0) {
    std::perror("hdx-milter: daemon");
    return 1;
  }
  // libmilter stops cleanly on SIGTERM, SIGINT and SIGHUP.
  return smfi_main() == MI_SUCCESS ? 0 : 1;
}
