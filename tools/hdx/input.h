// Reading mail for the hdx command: lines with bounded memory, and messages out of files,
// directories, mbox files and standard input.
#ifndef HDX_TOOL_INPUT_H
#define HDX_TOOL_INPUT_H

#include <cstdio>
#include <functional>
#include <string>
#include <string_view>
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
  std::size_t number = 0;  // 1-based place in an mbox, counted from where the split began; 0
                           // when the input is a single message
  std::string header;      // the header section, terminators included, without the blank line
  bool truncated = false;  // the header section was longer than the cap and was cut
};

using MessageSink = std::function<void(const Message&)>;

// Largest header section kept per message; the rest of an overlong one is skipped.
constexpr std::size_t kMaxHeader = 1 << 20;

// Splits a stream, or bytes in memory, into messages. A stream or bytes that start with a
// "From " line are an mbox, any other one message. `mid_mbox` says the bytes are a part of an
// mbox that starts at one of its messages (see next_message_start). `done` is told, every few
// megabytes, how many of the bytes will not be read again.
void split_messages(std::FILE* f, const MessageSink& sink);
void split_messages(std::string_view bytes, bool mid_mbox, const MessageSink& sink,
                    const std::function<void(std::size_t)>& done);

// Whether bytes are an mbox, and the first place at or after `from` where a message of an mbox
// starts (a "From " line right after a blank line), or bytes.size(). Splitting there gives parts
// whose messages are exactly those of the whole.
bool is_mbox(std::string_view bytes);
std::size_t next_message_start(std::string_view bytes, std::size_t from);

// The regular files that `path` names: itself, or every one under it when it is a directory,
// walked recursively and sorted. Reports an unreadable directory through `error`.
std::vector<std::string> list_files(const std::string& path,
                                    const std::function<void(const std::string&)>& error);

// Calls `line` for every line of `path` ("-" for standard input), with its 1-based number.
bool read_lines(const std::string& path,
                const std::function<void(const std::string&, std::size_t)>& line,
                const std::function<void(const std::string&)>& error);

}  // namespace hdx_tool

#endif  // HDX_TOOL_INPUT_H
