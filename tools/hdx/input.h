// Reading mail for the hdx command: lines with bounded memory, and messages out of files,
// directories, mbox files and standard input.
#ifndef HDX_TOOL_INPUT_H
#define HDX_TOOL_INPUT_H

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace hdx_tool {

// Reads a stream a line at a time, terminator included. A line longer than the buffer comes in
// pieces, so memory stays bounded whatever the input holds.
class LineReader {
 public:
  explicit LineReader(std::FILE* f) : f_(f), buf_(64 * 1024) {}
  // The next line or piece of one; false at the end of the stream.
  bool next(std::string& line);
  // True when the last piece returned ended a line.
  bool line_ended() const { return ended_; }
  bool failed() const { return std::ferror(f_) != 0; }

 private:
  std::FILE* f_;
  std::vector<char> buf_;
  std::size_t pos_ = 0, len_ = 0;
  bool ended_ = true;
};

// One message's header section, as a host would hold it in memory.
struct Message {
  std::string source;  // the file, with "#n" for the n-th message of an mbox
  std::string header;  // the header section, terminators included, without the blank line
  bool truncated = false;  // the header section was longer than the cap and was cut
};

using MessageSink = std::function<void(const Message&)>;

// Largest header section kept per message; the rest of an overlong one is skipped.
constexpr std::size_t kMaxHeader = 1 << 20;

// Reads every message from `path` ("-" for standard input): a directory is walked recursively,
// a file that starts with a "From " line is an mbox. Reports unreadable paths through `error`
// and returns false for them.
bool read_messages(const std::string& path, const MessageSink& sink,
                   const std::function<void(const std::string&)>& error);

// Calls `line` for every line of `path` ("-" for standard input), with its 1-based number.
bool read_lines(const std::string& path,
                const std::function<void(const std::string&, std::size_t)>& line,
                const std::function<void(const std::string&)>& error);

}  // namespace hdx_tool

#endif  // HDX_TOOL_INPUT_H
