// Records printed by the hdx command: tab-separated by default, JSON lines on request.
#ifndef HDX_TOOL_OUTPUT_H
#define HDX_TOOL_OUTPUT_H

#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace hdx_tool {

enum class Format { Tsv, Json };

// A record's fields in order; a missing value prints as an empty TSV column or a JSON null.
class Record {
 public:
  explicit Record(Format format) : format_(format) {}
  Record& text(std::string_view name, const std::optional<std::string>& value);
  Record& number(std::string_view name, std::size_t value);
  Record& list(std::string_view name, const std::vector<std::optional<std::string>>& values);
  void print(std::FILE* out);
  // The finished line, terminator included, for a caller that writes it itself.
  std::string finish();

 private:
  void begin(std::string_view name);
  void value(const std::optional<std::string>& v);

  Format format_;
  std::string line_;
};

}  // namespace hdx_tool

#endif  // HDX_TOOL_OUTPUT_H
