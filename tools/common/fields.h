// Header field names as mail readers compare them, and a whole field cut into name and value.
#ifndef HDX_COMMON_FIELDS_H
#define HDX_COMMON_FIELDS_H

#include <optional>
#include <string_view>
#include <vector>

namespace hdx_common {

constexpr char ascii_lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; }

// A blank as header text holds one: folds' line ends included.
constexpr bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// Text without the blanks at either end.
constexpr std::string_view trim_blanks(std::string_view s) {
  while (!s.empty() && is_blank(s.front())) s.remove_prefix(1);
  while (!s.empty() && is_blank(s.back())) s.remove_suffix(1);
  return s;
}

// The items of a comma-separated list as an admin writes one ("a, b"): trimmed, empty ones
// skipped.
inline std::vector<std::string_view> list_items(std::string_view list) {
  std::vector<std::string_view> items;
  while (!list.empty()) {
    const std::size_t comma = list.find(',');
    if (const std::string_view item = trim_blanks(list.substr(0, comma)); !item.empty()) {
      items.push_back(item);
    }
    list.remove_prefix(comma == std::string_view::npos ? list.size() : comma + 1);
  }
  return items;
}

// Whether a and b are the same text when ASCII letters are compared without regard to case.
constexpr bool equal_ignoring_case(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (ascii_lower(a[i]) != ascii_lower(b[i])) return false;
  }
  return true;
}

// Whether a header field's name is `want`: compared without regard to case, and blanks that
// stood before the colon ignored, the obsolete syntax that real mail still holds ("From : a@b").
constexpr bool is_field_name(std::string_view name, std::string_view want) {
  while (!name.empty() && (name.back() == ' ' || name.back() == '\t')) name.remove_suffix(1);
  return equal_ignoring_case(name, want);
}

struct Field {
  std::string_view name;   // what stands before the first colon
  std::string_view value;  // what follows it, folds included, without the field's last line end
};

// Text without the LF or CR LF that ends it, if it has one: a field's or a command's last line end
// is not part of its value.
constexpr std::string_view without_line_end(std::string_view text) {
  if (!text.empty() && text.back() == '\n') {
    text.remove_suffix(1);
    if (!text.empty() && text.back() == '\r') text.remove_suffix(1);
  }
  return text;
}

// A whole field ("Name: value", continuation lines and a last LF or CR LF or not) cut at its
// first colon; nullopt when it has none.
constexpr std::optional<Field> split_field(std::string_view field) {
  const std::size_t colon = field.find(':');
  if (colon == std::string_view::npos) return std::nullopt;
  return Field{field.substr(0, colon), without_line_end(field.substr(colon + 1))};
}

static_assert(is_field_name("rEcEiVeD \t", "Received") && !is_field_name("From x", "From"));
static_assert(split_field("From: a\r\n\tb\r\n")->value == " a\r\n\tb");
static_assert(without_line_end("a\r\r\n") == "a\r" && without_line_end("a\r") == "a\r");

}  // namespace hdx_common

#endif  // HDX_COMMON_FIELDS_H
