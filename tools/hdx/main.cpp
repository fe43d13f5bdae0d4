// hdx: runs libhdx over real mail, as a host process would.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <thread>

#include <fstream>
#include <iterator>

#include "commands.h"

namespace {

constexpr const char* kUsage =
    "usage: hdx scan [--json] [--checks] [--policy FILE] [--progress|--no-progress] [-j N]\n"
    "                [PATH...]\n"
    "       hdx smtp [--json] [PATH...]\n"
    "       hdx field from|return-path|received|path   < one raw field or command\n"
    "       hdx date\n"
    "       hdx --help | --version\n"
    "\n"
    "scan   reads messages from files, directories (recursively), mbox files or standard input\n"
    "       (no PATH, or -) and prints, per message: source, From address, Return-Path\n"
    "       address, and the sender IP of every Received field, top to bottom. Tab-separated,\n"
    "       or JSON lines with --json; a failed extraction is empty or null. JSON records,\n"
    "       and with --checks a last column, name the sender checks that fire (the envelope\n"
    "       sender is the Return-Path field); the summary counts each. With --policy, the\n"
    "       action that FILE's policy (hdx-milter's config file as it is) would take, and why\n"
    "       a check it names was spared; the summary counts what it would refuse and hold,\n"
    "       with the domains each check hits most. Uses N workers\n"
    "       (-j N, default: every core); records come out in input order all the same.\n"
    "smtp   prints the address of every MAIL FROM: and RCPT TO: command in the input lines.\n"
    "field  prints what the library extracts from standard input; exit status 1 if nothing.\n"
    "date   prints the current date in mail-header form.\n"
    "\n"
    "Exit status: 0 on success, 1 when field finds nothing, 2 for bad arguments or input\n"
    "that cannot be read.\n";

int bad_usage(const std::string& why) {
  std::fprintf(stderr, "hdx: %s\n%s", why.c_str(), kUsage);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return bad_usage("missing command");
  const std::string_view command = argv[1];
  if (command == "--help" || command == "-h") {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (command == "--version") {
    std::printf("hdx %s\n", HDX_VERSION);
    return 0;
  }
  hdx_tool::Options options;
  options.progress = isatty(STDERR_FILENO) != 0;
  std::vector<std::string> args(argv + 2, argv + argc);
  if (command == "field") {
    if (args.size() != 1) return bad_usage("field takes one kind");
    const std::string& kind = args[0];
    if (kind != "from" && kind != "return-path" && kind != "received" && kind != "path") {
      return bad_usage("unknown field kind '" + kind + "'");
    }
    return hdx_tool::field(kind);
  }
  if (command == "date") return args.empty() ? hdx_tool::date() : bad_usage("date takes no arguments");
  if (command != "scan" && command != "smtp") {
    return bad_usage("unknown command '" + std::string(command) + "'");
  }
  options.jobs = std::max(1u, std::thread::hardware_concurrency());
  bool only_paths = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (only_paths || arg == "-" || arg.empty() || arg[0] != '-') options.paths.push_back(arg);
    else if (arg == "--") only_paths = true;
    else if (arg == "-j" || arg == "--jobs" || arg.rfind("-j", 0) == 0) {
      const bool attached = arg.size() > 2 && arg[1] == 'j';  // -j4
      const std::string n = attached ? arg.substr(2) : i + 1 < args.size() ? args[++i] : "";
      if (n.empty() || n.size() > 4 || n.find_first_not_of("0123456789") != std::string::npos ||
          std::stoul(n) == 0) {
        return bad_usage("-j takes a number of workers from 1 to 9999");
      }
      options.jobs = static_cast<unsigned>(std::stoul(n));
    }
    else if (arg == "--policy" && i + 1 < args.size()) {
      std::ifstream in(args[++i]);
      std::string text(std::istreambuf_iterator<char>(in), {}), error;
      if (!in) return bad_usage("cannot read " + args[i]);
      // The filter's config file works as it is: its own keys are skipped.
      options.policy = hdx_common::parse_policy(text, args[i], {"socket", "header", "log"}, error);
      if (!options.policy) return bad_usage(error);
    }
    else if (arg == "--json") options.format = hdx_tool::Format::Json;
    else if (arg == "--checks") options.checks = true;
    else if (arg == "--progress") options.progress = true;
    else if (arg == "--no-progress") options.progress = false;
    else return bad_usage("unknown option '" + arg + "'");
  }
  if (options.paths.empty()) options.paths.push_back("-");
  return command == "scan" ? hdx_tool::scan(options) : hdx_tool::smtp(options);
}
