// The filter's log of one JSON line per message, which log rotation can move away at any time.
#ifndef HDX_MILTER_LOG_H
#define HDX_MILTER_LOG_H

#include <string>
#include <string_view>

namespace hdx_milter {

// Every line goes out in one write(2) to a descriptor opened with O_APPEND, so lines from many
// connections never interleave, and no lock or buffer is needed. Reopening opens the path anew
// and puts the new file under the same descriptor with dup2(2), which is atomic: each line lands
// whole in either the moved file or the new one, and none is lost.
class Log {
 public:
  // PATH "-" is standard output, which is never reopened. False, with errno, if it cannot open.
  bool open(const std::string& path);
  // After the file was moved away. False, with errno, if the path cannot be opened; the old file
  // is kept then, so nothing is lost.
  bool reopen();
  void write(std::string_view line) const;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
  int fd_ = -1;
};

}  // namespace hdx_milter

#endif  // HDX_MILTER_LOG_H
