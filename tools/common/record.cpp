// Escaping for the two output formats. Addresses come from attacker-controlled mail, so every
// byte that could break a line or a column is escaped; bytes above 0x7F are written as \u00XX in
// JSON, which keeps the output valid whatever the input's encoding.
#include "record.h"

#include <cstdio>
#include <utility>

namespace hdx_common {
namespace {

void append_tsv(std::string& line, std::string_view s) {
  for (const char c : s) {
    switch (c) {
      case '\t': line += "\\t"; break;
      case '\n': line += "\\n"; break;
      case '\r': line += "\\r"; break;
      case '\\': line += "\\\\"; break;
      case ',': line += "\\,"; break;  // separates a list's items
      default: line += c;
    }
  }
}

void append_json(std::string& line, std::string_view s) {
  line += '"';
  for (const char ch : s) {
    const auto c = static_cast<unsigned char>(ch);
    if (c == '"' || c == '\\') {
      line += '\\';
      line += ch;
    } else if (c < 0x20 || c >= 0x7F) {
      char esc[8];
      std::snprintf(esc, sizeof esc, "\\u%04x", c);
      line += esc;
    } else {
      line += ch;
    }
  }
  line += '"';
}

}  // namespace

void Record::begin(std::string_view name) {
  if (format_ == Format::Tsv) {
    if (!line_.empty()) line_ += '\t';
    return;
  }
  line_ += line_.empty() ? "{" : ",";
  append_json(line_, name);
  line_ += ':';
}

void Record::begin_list(std::string_view name) {
  begin(name);
  if (format_ == Format::Json) line_ += '[';
}

void Record::value(Value v) {
  if (format_ == Format::Tsv) {
    if (v) append_tsv(line_, *v);
  } else if (v) {
    append_json(line_, *v);
  } else {
    line_ += "null";
  }
}

Record& Record::text(std::string_view name, Value v) {
  begin(name);
  value(v);
  return *this;
}

Record& Record::number(std::string_view name, std::size_t v) {
  begin(name);
  line_ += std::to_string(v);
  return *this;
}

std::string Record::finish() {
  if (format_ == Format::Json) line_ += '}';
  line_ += '\n';
  return std::move(line_);
}

void Record::print(std::FILE* out) {
  const std::string line = finish();
  std::fwrite(line.data(), 1, line.size(), out);
}

}  // namespace hdx_common
