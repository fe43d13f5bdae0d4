// Line and message reading for the hdx command.
#include "input.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <memory>
#include <system_error>
#include <utility>

namespace hdx_tool {

bool LineReader::next(std::string& line) {
  line.clear();
  for (;;) {
    if (pos_ == len_) {
      len_ = std::fread(buf_.data(), 1, buf_.size(), f_);
      pos_ = 0;
      if (len_ == 0) {
        ended_ = true;
        return !line.empty();
      }
    }
    const char* start = buf_.data() + pos_;
    const auto* lf = static_cast<const char*>(std::memchr(start, '\n', len_ - pos_));
    const std::size_t take = lf != nullptr ? static_cast<std::size_t>(lf - start) + 1 : len_ - pos_;
    if (line.size() + take > buf_.size()) {  // an overlong line: hand out what we have
      const std::size_t part = buf_.size() - line.size();
      line.append(start, part);
      pos_ += part;
      ended_ = false;
      return true;
    }
    line.append(start, take);
    pos_ += take;
    if (lf != nullptr) {
      ended_ = true;
      return true;
    }
  }
}

namespace {

bool is_blank_line(const std::string& line) { return line == "\n" || line == "\r\n"; }
bool is_mbox_separator(const std::string& line) { return line.rfind("From ", 0) == 0; }

// Splits a stream into messages, fed a line (or a piece of an overlong one) at a time. In an
// mbox, a "From " line at the start or after a blank line opens a message; otherwise the whole
// stream is one message. Only header sections are kept, so memory stays bounded per message.
class Splitter {
 public:
  Splitter(std::string source, const MessageSink& sink) : source_(std::move(source)), sink_(sink) {}

  // Returns false once nothing more of the stream is needed.
  bool feed(const std::string& piece, bool starts_line) {
    if (first_) {
      first_ = false;
      mbox_ = starts_line && is_mbox_separator(piece);
      open();
      if (mbox_) return true;
    } else if (mbox_ && starts_line && after_blank_ && is_mbox_separator(piece)) {
      close();
      open();
      after_blank_ = false;
      return true;
    }
    if (starts_line) after_blank_ = is_blank_line(piece);
    if (!in_header_) return true;
    if (starts_line && is_blank_line(piece)) {
      in_header_ = false;
      return mbox_;  // the body of a single message is never read
    }
    // Past the cap the rest of the header section is dropped whole, never a line here and there.
    if (msg_.truncated || msg_.header.size() + piece.size() > kMaxHeader) msg_.truncated = true;
    else msg_.header += piece;
    return true;
  }

  void finish() {
    if (!first_) close();
  }

 private:
  void open() {
    msg_ = Message{};
    msg_.source = mbox_ ? source_ + "#" + std::to_string(++count_) : source_;
    in_header_ = true;
  }
  void close() { sink_(msg_); }

  std::string source_;
  const MessageSink& sink_;
  Message msg_;
  std::size_t count_ = 0;
  bool first_ = true, mbox_ = false, in_header_ = false, after_blank_ = true;
};

void split_messages(std::FILE* f, const std::string& source, const MessageSink& sink) {
  LineReader reader(f);
  Splitter splitter(source, sink);
  std::string piece;
  bool starts_line = true;
  while (reader.next(piece) && splitter.feed(piece, starts_line)) starts_line = reader.line_ended();
  splitter.finish();
}

bool read_file(const std::filesystem::path& path, const MessageSink& sink,
               const std::function<void(const std::string&)>& error) {
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> f(std::fopen(path.c_str(), "rb"), std::fclose);
  if (!f) {
    error(path.string() + ": " + std::strerror(errno));
    return false;
  }
  split_messages(f.get(), path.string(), sink);
  if (std::ferror(f.get()) != 0) {
    error(path.string() + ": read error");
    return false;
  }
  return true;
}

}  // namespace

bool read_messages(const std::string& path, const MessageSink& sink,
                   const std::function<void(const std::string&)>& error) {
  if (path == "-") {
    split_messages(stdin, "-", sink);
    return true;
  }
  namespace fs = std::filesystem;
  std::error_code ec;
  if (!fs::is_directory(path, ec)) return read_file(path, sink, error);
  bool ok = true;
  std::vector<fs::path> files;
  for (fs::recursive_directory_iterator it(path, ec), end; !ec && it != end; it.increment(ec)) {
    if (it->is_regular_file(ec)) files.push_back(it->path());
  }
  if (ec) {
    error(path + ": " + ec.message());
    ok = false;
  }
  std::sort(files.begin(), files.end());  // a stable order, whatever the file system returns
  for (const auto& file : files) ok = read_file(file, sink, error) && ok;
  return ok;
}

bool read_lines(const std::string& path,
                const std::function<void(const std::string&, std::size_t)>& line,
                const std::function<void(const std::string&)>& error) {
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> owned(nullptr, std::fclose);
  std::FILE* f = stdin;
  if (path != "-") {
    owned.reset(std::fopen(path.c_str(), "rb"));
    if (!owned || std::filesystem::is_directory(path)) {
      error(path + ": " + (owned ? "is a directory" : std::strerror(errno)));
      return false;
    }
    f = owned.get();
  }
  LineReader reader(f);
  std::string text;
  std::size_t number = 0;
  bool at_line_start = true;
  while (reader.next(text)) {
    if (at_line_start) line(text, ++number);  // pieces after an overlong line's first are skipped
    at_line_start = reader.line_ended();
  }
  return !reader.failed();
}

}  // namespace hdx_tool
