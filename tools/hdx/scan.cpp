// hdx scan: one record per message with its From address, its Return-Path address, the sender
// IP of every Received field, top to bottom, and the sender checks that fire. Files are read through memory maps and
// examined on every core, mailboxes cut into parts at message starts; records come out in input
// order whatever the number of workers.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "commands.h"
#include "checks.h"
#include "hdx.hpp"
#include "identity.h"
#include "input.h"

namespace hdx_tool {
namespace {

// Splits a header section into whole fields with the library's own line-end search.
template <class Fn>
void for_each_field(const std::string& header, Fn fn) {
  std::string_view rest = header;
  while (!rest.empty()) {
    std::size_t len = 0;
    while (len < rest.size()) {
      const auto end = hdx::find_line_end(rest.substr(len));
      len = end ? len + end->line_length : rest.size();
      if (len < rest.size() && rest[len] != ' ' && rest[len] != '\t') break;
    }
    fn(rest.substr(0, len));
    rest.remove_prefix(len);
  }
}

// What the library found in one message: its From, its Return-Path and every Received field.
struct Found {
  std::size_t number = 0;
  hdx_common::Identity id{std::pmr::get_default_resource(), hdx_common::kNoCaps};
  bool truncated = false;
};

Found examine(const Message& msg) {
  Found found;
  found.number = msg.number;
  found.truncated = msg.truncated;
  // Each whole field, continuation lines and terminator included, as a host hands it over.
  for_each_field(msg.header, [&found](std::string_view raw) { found.id.field(raw); });
  return found;
}

// A file mapped into memory, read only; pages already scanned can be given back, so memory stays
// bounded however large the file.
class MappedFile {
 public:
  // Returns nullptr, saying why, when the file cannot be opened or mapped; nullptr with `why`
  // empty when it is not a regular file (a pipe, a terminal) and has to be read as a stream.
  static std::shared_ptr<MappedFile> open(const std::string& path, std::string& why) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
      if (fd < 0) why = std::strerror(errno);
      if (fd >= 0) ::close(fd);
      return nullptr;
    }
    const auto size = static_cast<std::size_t>(st.st_size);
    void* data = size == 0 ? nullptr : ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
    ::close(fd);
    if (data == MAP_FAILED) {
      why = std::strerror(errno);
      return nullptr;
    }
    return std::shared_ptr<MappedFile>(new MappedFile(static_cast<const char*>(data), size));
  }
  ~MappedFile() {
    if (size_ != 0) ::munmap(const_cast<char*>(data_), size_);
  }
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;

  std::string_view bytes() const { return {data_, size_}; }
  // Drops the whole pages inside `part` from this process's memory; the page cache keeps them.
  void release(std::string_view part) const {
    const auto page = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
    const auto first = (reinterpret_cast<std::uintptr_t>(part.data()) + page - 1) / page * page;
    const auto last = (reinterpret_cast<std::uintptr_t>(part.data()) + part.size()) / page * page;
    if (first < last) ::madvise(reinterpret_cast<void*>(first), last - first, MADV_DONTNEED);
  }

 private:
  MappedFile(const char* data, std::size_t size) : data_(data), size_(size) {}
  const char* data_;
  std::size_t size_;
};

// A part of one file: whole messages, examined by one worker.
struct Part {
  std::shared_ptr<MappedFile> file;
  std::string source;
  std::string_view bytes;
  bool first;  // the file's first part: message numbers start again
  std::vector<Found> found;
};

// An mbox is cut into parts of about this size at message starts, so that one large mailbox
// keeps every core busy; a batch of parts is examined at once, so memory stays bounded.
constexpr std::size_t kPartBytes = 4 << 20;
constexpr std::size_t kBatchParts = 4;  // parts per worker in a batch

// A message larger than a part is read in one go, so the pages behind the reader are given back
// as it goes.
void examine_part(Part& part) {
  std::size_t released = 0;
  split_messages(
      part.bytes, !part.first, [&part](const Message& msg) { part.found.push_back(examine(msg)); },
      [&](std::size_t done) {
        part.file->release(part.bytes.substr(released, done - released));
        released = done;
      });
}

// Where the part that starts at `start` ends: at the first message start a part's length on. The
// search goes a part's length at a time and gives back the pages it has passed, for the same
// reason.
std::size_t part_end(const MappedFile& file, std::size_t start) {
  constexpr std::size_t kSeparator = 6;  // "\nFrom "
  const std::string_view bytes = file.bytes();
  for (std::size_t from = start + kPartBytes; from < bytes.size(); from += kPartBytes) {
    const std::size_t to = std::min(from + kPartBytes + kSeparator, bytes.size());
    const std::size_t end = next_message_start(bytes.substr(0, to), from);
    if (end != to) return end;
    file.release(bytes.substr(from, to - from));
  }
  return bytes.size();
}

void examine_all(std::vector<Part>& parts, unsigned jobs) {
  std::atomic<std::size_t> next{0};
  const auto work = [&] {
    for (std::size_t i; (i = next++) < parts.size();) examine_part(parts[i]);
  };
  std::vector<std::thread> workers;
  for (unsigned j = 1; j < jobs && j < parts.size(); ++j) workers.emplace_back(work);
  work();
  for (auto& w : workers) w.join();
}

struct Counts {
  std::size_t messages = 0, fields = 0, failures = 0, truncated = 0;
  std::size_t checks[hdx_common::kCheckCount] = {};
  // With a policy: per check, the messages it would refuse and hold, and per domain that the
  // check's exemption would name, how many of them.
  std::size_t refused[hdx_common::kCheckCount] = {}, held[hdx_common::kCheckCount] = {};
  std::map<std::string, std::size_t, std::less<>> domains[hdx_common::kCheckCount];
};

// Prints the records in input order and keeps the counts.
class Printer {
 public:
  explicit Printer(const Options& options) : options_(options) {}

  // `first_number` is the mbox number of the message before the first one `found` counts from.
  void print(const std::string& source, const Found& found, std::size_t first_number = 0) {
    ++counts_.messages;
    counts_.truncated += found.truncated;
    const hdx_common::Identity& id = found.id;
    count(id.from, id.from_fields != 0);
    count(id.return_path, id.seen_return_path);
    for (const auto& ip : id.received) count(ip, true);
    // In a mailbox, the envelope sender is what final delivery wrote in the Return-Path field.
    const hdx_common::Checks fired = hdx_common::sender_checks(id);
    for (std::size_t i = 0; i < std::size(counts_.checks); ++i) {
      counts_.checks[i] += fired.has(static_cast<hdx_common::Check>(i));
    }
    Record record(options_.format);
    record.text("source", found.number == 0
                              ? source
                              : source + "#" + std::to_string(first_number + found.number))
        .text("from", id.from)
        .text("return_path", id.return_path)
        .list("received", id.received);
    if (options_.format == Format::Json || options_.checks) {
      record.list("checks", hdx_common::items_of(fired, id.memory()));
    }
    if (options_.policy) {
      const hdx_common::Decision d =
          hdx_common::decide(*options_.policy, fired, id, {id.relay, id.relay_authenticated});
      record.text("action", hdx_common::action_text(d))
          .text("spared", d.spared.empty() ? hdx_common::Value() : hdx_common::Value(d.spared));
      d.acted.for_each_check([&](hdx_common::Check c) {
        const auto i = static_cast<std::size_t>(c);
        ++(d.action == hdx_common::Action::Reject ? counts_.refused : counts_.held)[i];
        ++counts_.domains[i][std::string(hdx_common::exemption_domain(c, id))];
      });
    }
    record.print(stdout);
    show_progress(false);
  }

  void print(const Part& part) {
    if (part.first) numbered_ = 0;
    // A part numbers its messages from its own start.
    for (const Found& found : part.found) print(part.source, found, numbered_);
    if (!part.found.empty()) numbered_ += part.found.back().number;
  }

  const Counts& counts() const { return counts_; }
  void show_progress(bool last) {
    if (!options_.progress) return;
    const auto now = std::chrono::steady_clock::now();
    if (!last && now - shown_ < std::chrono::milliseconds(500)) return;
    shown_ = now;
    std::fprintf(stderr, "\rhdx: %zu messages scanned%s", counts_.messages, last ? "\n" : "");
  }

 private:
  void count(const hdx_common::Item& v, bool seen) {
    if (!seen) return;
    ++counts_.fields;
    counts_.failures += !v;
  }

  const Options& options_;
  Counts counts_;
  std::size_t numbered_ = 0;  // messages of the current file printed before this part
  std::chrono::steady_clock::time_point shown_{};
};

// What the policy would have done, per check it acts on, with the ten domains it hits most: the
// candidates for an exemption, where they are senders the admin knows.
void print_policy_summary(const Counts& c) {
  std::fprintf(stderr, "hdx: the policy would refuse or hold:");
  bool any = false;
  for (std::size_t i = 0; i < hdx_common::kCheckCount; ++i) {
    if (c.refused[i] + c.held[i] == 0) continue;
    std::vector<std::pair<std::size_t, std::string_view>> top;
    for (const auto& [domain, n] : c.domains[i]) top.emplace_back(n, domain);
    std::sort(top.begin(), top.end(), [](auto& a, auto& b) { return a.first > b.first; });
    std::fprintf(stderr, "\n  %s: refused %zu, held %zu; most from",
                 hdx_common::kCheckNames[i].data(), c.refused[i], c.held[i]);
    for (std::size_t k = 0; k < top.size() && k < 10; ++k) {
      const std::string_view domain = top[k].second.empty() ? "(none)" : top[k].second;
      std::fprintf(stderr, "%s %.*s %zu", k == 0 ? "" : ",", static_cast<int>(domain.size()),
                   domain.data(), top[k].first);
    }
    any = true;
  }
  std::fprintf(stderr, "%s\n", any ? "" : " nothing");
}

}  // namespace

int scan(const Options& options) {
  Printer printer(options);
  bool ok = true;
  const auto error = [&ok](const std::string& what) {
    std::fprintf(stderr, "hdx: %s\n", what.c_str());
    ok = false;
  };
  std::vector<Part> batch;
  std::size_t batch_bytes = 0;
  const auto flush = [&] {
    examine_all(batch, options.jobs);
    for (const Part& part : batch) {
      printer.print(part);
      part.file->release(part.bytes);
    }
    batch.clear();
    batch_bytes = 0;
  };
  // Streams are read in order, one message at a time, by this thread.
  const auto scan_stream = [&](std::FILE* f, const std::string& source) {
    flush();
    split_messages(f, [&](const Message& m) { printer.print(source, examine(m)); });
    if (std::ferror(f) != 0) error(source + ": read error");
  };
  for (const auto& path : options.paths) {
    if (path == "-") {
      scan_stream(stdin, "-");
      continue;
    }
    for (const auto& file : list_files(path, error)) {
      std::string why;
      const auto mapped = MappedFile::open(file, why);
      if (!mapped && why.empty()) {
        std::unique_ptr<std::FILE, int (*)(std::FILE*)> f(std::fopen(file.c_str(), "rb"),
                                                          std::fclose);
        if (f) {
          scan_stream(f.get(), file);
        } else {
          error(file + ": " + std::strerror(errno));
        }
        continue;
      }
      if (!mapped) {
        error(file + ": " + why);
        continue;
      }
      const std::string_view bytes = mapped->bytes();
      const bool mbox = is_mbox(bytes);
      std::size_t start = 0;
      do {
        const std::size_t end = mbox ? part_end(*mapped, start) : bytes.size();
        batch.push_back({mapped, file, bytes.substr(start, end - start), start == 0, {}});
        batch_bytes += end - start;
        if (batch.size() >= kBatchParts * options.jobs ||
            batch_bytes >= kBatchParts * options.jobs * kPartBytes) {
          flush();
        }
        start = end;
      } while (start < bytes.size());
    }
  }
  flush();
  std::fflush(stdout);
  printer.show_progress(true);
  const Counts& c = printer.counts();
  std::fprintf(stderr, "hdx: %zu messages, %zu fields, %zu failed", c.messages, c.fields,
               c.failures);
  if (c.truncated != 0) std::fprintf(stderr, ", %zu header sections cut at 1 MiB", c.truncated);
  std::fprintf(stderr, "; checks:");
  for (std::size_t i = 0; i < hdx_common::kCheckCount; ++i) {
    std::fprintf(stderr, "%s %s %zu", i == 0 ? "" : ",", hdx_common::kCheckNames[i].data(),
                 c.checks[i]);
  }
  std::fprintf(stderr, "\n");
  if (options.policy) print_policy_summary(c);
  return ok ? 0 : 2;
}

}  // namespace hdx_tool
