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

// Pieces of a line longer than this come one after another, as LineReader hands them out.
constexpr std::size_t kMaxPiece = 64 * 1024;

bool is_blank_line(std::string_view line) { return line == "\n" || line == "\r\n"; }
bool is_mbox_separator(std::string_view line) { return line.substr(0, 5) == "From "; }

// Splits a stream into messages, fed a line (or a piece of an overlong one) at a time. In an
// mbox, a "From " line at the start or after a blank line opens a message; otherwise the whole
// stream is one message. Only header sections are kept, so memory stays bounded per message.
class Splitter {
 public:
  Splitter(const MessageSink& sink, bool mid_mbox) : sink_(sink), mid_mbox_(mid_mbox) {}

  // Returns false once nothing more of the stream is needed.
  bool feed(std::string_view piece, bool starts_line) {
    if (first_) {
      first_ = false;
      mbox_ = starts_line && is_mbox_separator(piece);
      open();
      // A part of an mbox starts as the whole does after a separator line.
      if (mid_mbox_) after_blank_ = false;
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
    msg_.number = mbox_ ? ++count_ : 0;
    in_header_ = true;
  }
  void close() { sink_(msg_); }

  const MessageSink& sink_;
  Message msg_;
  std::size_t count_ = 0;
  bool mid_mbox_;
  bool first_ = true, mbox_ = false, in_header_ = false, after_blank_ = true;
};

}  // namespace

void split_messages(std::FILE* f, const MessageSink& sink) {
  LineReader reader(f);
  Splitter splitter(sink, false);
  std::string piece;
  bool starts_line = true;
  while (reader.next(piece) && splitter.feed(piece, starts_line)) starts_line = reader.line_ended();
  splitter.finish();
}

void split_messages(std::string_view bytes, bool mid_mbox, const MessageSink& sink,
                    const std::function<void(std::size_t)>& done) {
  constexpr std::size_t kReportEvery = 8 << 20;
  Splitter splitter(sink, mid_mbox);
  bool starts_line = true;
  for (std::size_t pos = 0, reported = 0; pos < bytes.size();) {
    if (pos - reported >= kReportEvery) done(reported = pos);
    const std::size_t limit = std::min(kMaxPiece, bytes.size() - pos);
    const auto* lf = static_cast<const char*>(std::memchr(bytes.data() + pos, '\n', limit));
    const std::size_t take =
        lf != nullptr ? static_cast<std::size_t>(lf - bytes.data()) + 1 - pos : limit;
    if (!splitter.feed(bytes.substr(pos, take), starts_line)) break;
    starts_line = lf != nullptr;
    pos += take;
  }
  splitter.finish();
}

bool is_mbox(std::string_view bytes) { return is_mbox_separator(bytes); }

std::size_t next_message_start(std::string_view bytes, std::size_t from) {
  for (std::size_t lf = from; (lf = bytes.find("\nFrom ", lf)) != std::string_view::npos; ++lf) {
    // The line that this LF ends must be blank: an LF or CR LF right after another LF.
    const std::size_t line_start = lf > 0 && bytes[lf - 1] == '\r' ? lf - 1 : lf;
    if (line_start > 0 && bytes[line_start - 1] == '\n') return lf + 1;
  }
  return bytes.size();
}

std::vector<std::string> list_files(const std::string& path,
                                    const std::function<void(const std::string&)>& error) {
  namespace fs = std::filesystem;
  std::error_code ec;
  if (!fs::is_directory(path, ec)) return {path};
  std::vector<std::string> files;
  for (fs::recursive_directory_iterator it(path, ec), end; !ec && it != end; it.increment(ec)) {
    if (it->is_regular_file(ec)) files.push_back(it->path().string());
  }
  if (ec) error(path + ": " + ec.message());
  std::sort(files.begin(), files.end());  // a stable order, whatever the file system returns
  return files;
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
