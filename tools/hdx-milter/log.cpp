// The filter's log: one write per line, reopened in place for log rotation.
#include "log.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace hdx_milter {
namespace {

int open_append(const std::string& path) {
  return ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0640);
}

}  // namespace

bool Log::open(const std::string& path) {
  path_ = path;
  fd_ = path == "-" ? STDOUT_FILENO : open_append(path);
  return fd_ >= 0;
}

bool Log::reopen() {
  if (fd_ < 0 || path_ == "-") return true;
  const int fresh = open_append(path_);
  if (fresh < 0) return false;
  const bool moved = ::dup2(fresh, fd_) >= 0;
  const int saved = errno;
  ::close(fresh);
  errno = saved;
  return moved;
}

void Log::write(std::string_view line) const {
  // A regular file takes an appended line whole; the loop only matters for pipes and a full disk.
  while (fd_ >= 0 && !line.empty()) {
    const ssize_t n = ::write(fd_, line.data(), line.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    line.remove_prefix(static_cast<std::size_t>(n));
  }
}

}  // namespace hdx_milter
