// Records that hosts print: tab-separated by default, JSON lines on request (the command's output
// and the filter's log alike).
#ifndef HDX_COMMON_RECORD_H
#define HDX_COMMON_RECORD_H

#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

namespace hdx_common {

enum class Format { Tsv, Json };

// A value the library may not have found: an empty TSV column or a JSON null when missing.
using Value = std::optional<std::string_view>;

// A record's fields in order.
class Record {
 public:
  explicit Record(Format format) : format_(format) {}
  Record& text(std::string_view name, Value value);
  Record& number(std::string_view name, std::size_t value);
  // Any sequence of optional strings: a JSON array, or one TSV column with "," between items.
  template <class List>
  Record& list(std::string_view name, const List& values) {
    begin_list(name);
    bool first = true;
    for (const auto& v : values) {
      if (!first) line_ += ',';
      first = false;
      value(v ? Value(*v) : std::nullopt);
    }
    if (format_ == Format::Json) line_ += ']';
    return *this;
  }
  void print(std::FILE* out);
  // The finished line, terminator included, for a caller that writes it itself.
  std::string finish();

 private:
  void begin(std::string_view name);
  void begin_list(std::string_view name);
  void value(Value v);

  Format format_;
  std::string line_;
};

}  // namespace hdx_common

#endif  // HDX_COMMON_RECORD_H
