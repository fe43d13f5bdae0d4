// The sender checks. Every scan here passes over a field once, or twice where an address is
// looked for around each "@", so hostile fields cost time in proportion to their length.
#include "checks.h"

#include <utility>

#include "fields.h"

namespace hdx_common {
namespace {

constexpr auto npos = std::string_view::npos;

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// The first From field's value as a mail reader parses it: what stands between angle brackets,
// where they open, and whether the field names more than one mailbox. Quoted strings and
// comments (nested) hide what they hold; a backslash hides the byte after it.
struct FromShape {
  explicit FromShape(std::pmr::memory_resource* memory) : address(memory) {}
  bool list = false;  // a comma, or a group's colon, outside quotes, comments and brackets
  std::size_t angle = npos;  // where the first angle bracket that closes opens
  Text address;              // what it holds, without comments and unquoted blanks
};

FromShape shape_of(std::string_view v, std::pmr::memory_resource* memory) {
  FromShape shape(memory);
  Text inside(memory);
  bool quoted = false, in_angle = false;
  std::size_t comments = 0, opened = npos;
  for (std::size_t i = 0; i < v.size(); ++i) {
    const char c = v[i];
    const bool first_angle = in_angle && shape.angle == npos;
    const auto keep = [&](std::string_view bytes) {
      if (first_angle && comments == 0) inside += bytes;
    };
    if (c == '\\') {
      keep(v.substr(i, 2));
      ++i;
    } else if (comments > 0) {
      if (c == '(') ++comments;
      if (c == ')') --comments;
    } else if (quoted || c == '"') {
      quoted = quoted ? c != '"' : true;
      keep(v.substr(i, 1));
    } else if (c == '(') {
      comments = 1;
    } else if (in_angle) {
      if (c == '>' && shape.angle == npos) {
        shape.angle = opened;
        shape.address = std::move(inside);  // nothing more is kept once the first one closes
      }
      in_angle = c != '>';
      if (!is_blank(c) && in_angle) keep(v.substr(i, 1));
    } else if (c == '<') {
      in_angle = true;
      if (shape.angle == npos) opened = i, inside.clear();
    } else {
      shape.list = shape.list || c == ',' || c == ':';
    }
  }
  return shape;
}

void decode_base64(std::string_view text, Text& out) {
  std::uint32_t bits = 0;
  int count = 0;
  for (const char c : text) {
    const int value = c >= 'A' && c <= 'Z'   ? c - 'A'
                      : c >= 'a' && c <= 'z' ? c - 'a' + 26
                      : c >= '0' && c <= '9' ? c - '0' + 52
                      : c == '+'             ? 62
                      : c == '/'             ? 63
                                             : -1;
    if (value < 0) continue;
    bits = bits << 6 | static_cast<std::uint32_t>(value);
    if ((count += 6) >= 8) out += static_cast<char>(bits >> (count -= 8) & 0xff);
  }
}

int hex_value(char c) {
  const char l = ascii_lower(c);
  return c >= '0' && c <= '9' ? c - '0' : l >= 'a' && l <= 'f' ? l - 'a' + 10 : -1;
}

void decode_q(std::string_view text, Text& out) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '=' && i + 2 < text.size() && hex_value(text[i + 1]) >= 0 &&
        hex_value(text[i + 2]) >= 0) {
      out += static_cast<char>(hex_value(text[i + 1]) * 16 + hex_value(text[i + 2]));
      i += 2;
    } else {
      out += text[i] == '_' ? ' ' : text[i];
    }
  }
}

// Text with its encoded words (=?charset?B?...?= and =?charset?Q?...?=) decoded.
Text decoded(std::string_view t, std::pmr::memory_resource* memory) {
  Text out(memory);
  std::size_t i = 0;
  for (std::size_t start; (start = t.find("=?", i)) != npos;) {
    out += t.substr(i, start - i);
    i = start + 2;
    const std::size_t mark = t.find('?', i);
    if (mark == npos || mark + 2 >= t.size() || t[mark + 2] != '?') {
      out += "=?";
      continue;
    }
    const char encoding = ascii_lower(t[mark + 1]);
    if (encoding != 'b' && encoding != 'q') {
      out += "=?";
      continue;
    }
    // No encoded word ends after this one either, once none ends here.
    const std::size_t end = t.find("?=", mark + 3);
    if (end == npos) {
      i = start;
      break;
    }
    const std::string_view text = t.substr(mark + 3, end - mark - 3);
    encoding == 'b' ? decode_base64(text, out) : decode_q(text, out);
    i = end + 2;
  }
  if (i < t.size()) out += t.substr(i);
  return out;
}

bool is_alnum(char c) {
  return (c >= '0' && c <= '9') || (ascii_lower(c) >= 'a' && ascii_lower(c) <= 'z');
}
bool is_local_byte(char c) {
  return is_alnum(c) || std::string_view("!#$%&'*+-/=?^_`{|}~.").find(c) != npos;
}
bool is_domain_byte(char c) { return is_alnum(c) || c == '-' || c == '.'; }

std::string_view domain_of(std::string_view address) {
  const std::size_t at = address.rfind('@');
  return at == npos ? std::string_view() : address.substr(at + 1);
}

// Whether text holds an address (local@domain, a dot inside the domain) of a domain other than
// `domain`, ASCII case aside. Each byte is looked at twice at most: as the domain after one "@"
// and the local part before the next.
bool holds_other_address(std::string_view text, std::string_view domain) {
  for (std::size_t at = text.find('@'); at != npos; at = text.find('@', at + 1)) {
    std::size_t begin = at, end = at + 1;
    while (begin > 0 && is_local_byte(text[begin - 1])) --begin;
    while (end < text.size() && is_domain_byte(text[end])) ++end;
    std::string_view found = text.substr(at + 1, end - at - 1);
    while (!found.empty() && found.back() == '.') found.remove_suffix(1);  // a sentence's stop
    const std::size_t dot = found.find('.');
    if (begin < at && dot != npos && dot != 0 && !equal_ignoring_case(found, domain)) return true;
  }
  return false;
}

// A domain as the library writes it: a domain literal without its brackets and blanks.
std::string_view bare_domain(std::string_view d) {
  if (d.size() < 2 || d.front() != '[' || d.back() != ']') return d;
  d = d.substr(1, d.size() - 2);
  while (!d.empty() && is_blank(d.front())) d.remove_prefix(1);
  while (!d.empty() && is_blank(d.back())) d.remove_suffix(1);
  return d;
}

// The library's address is the one in the brackets: the local parts the same, the domains the
// same but for ASCII case.
bool same_address(std::string_view read, std::string_view bracketed) {
  const std::size_t at_a = read.rfind('@'), at_b = bracketed.rfind('@');
  return at_a != npos && at_b != npos && read.substr(0, at_a) == bracketed.substr(0, at_b) &&
         equal_ignoring_case(read.substr(at_a + 1), bare_domain(bracketed.substr(at_b + 1)));
}

// child is parent or a domain under it, by whole labels.
bool under(std::string_view child, std::string_view parent) {
  if (parent.empty() || child.size() < parent.size()) return false;
  const std::size_t cut = child.size() - parent.size();
  return equal_ignoring_case(child.substr(cut), parent) && (cut == 0 || child[cut - 1] == '.');
}

}  // namespace

Text Checks::names(char separator, std::pmr::memory_resource* memory) const {
  Text out(memory);
  for_each([&](std::string_view name) {
    if (!out.empty()) out += separator;
    out += name;
  });
  return out;
}

std::optional<Checks> Checks::parse(std::string_view list, std::string& unknown) {
  Checks parsed;
  while (!list.empty()) {
    const std::size_t comma = list.find(',');
    std::string_view word = list.substr(0, comma);
    list.remove_prefix(comma == npos ? list.size() : comma + 1);
    while (!word.empty() && is_blank(word.front())) word.remove_prefix(1);
    while (!word.empty() && is_blank(word.back())) word.remove_suffix(1);
    if (word.empty()) continue;
    unsigned i = 0;
    while (i < std::size(kCheckNames) && kCheckNames[i] != word) ++i;
    if (i == std::size(kCheckNames)) {
      unknown = word;
      return std::nullopt;
    }
    parsed.add(static_cast<Check>(i));
  }
  return parsed;
}

Items items_of(Checks fired, std::pmr::memory_resource* memory) {
  Items items(memory);
  fired.for_each([&](std::string_view name) { items.emplace_back(Text(name, memory)); });
  return items;
}

Checks sender_checks(const Identity& id, const Item& envelope) {
  Checks fired;
  if (id.from_fields == 0) fired.add(Check::FromMissing);
  if (id.from_fields > 1) fired.add(Check::FromMultiple);
  if (id.from_fields == 0) return fired;
  const FromShape shape = shape_of(id.first_from, id.memory());
  if (shape.list) fired.add(Check::FromList);
  if (!id.from) fired.add(Check::FromUnreadable);
  if (shape.address.find('@') != npos) {
    if (id.from && !same_address(*id.from, shape.address)) fired.add(Check::FromAmbiguous);
    // Most display names hold no encoded word, and are read where they stand.
    std::string_view display = std::string_view(id.first_from).substr(0, shape.angle);
    Text decoded_display(id.memory());
    if (display.find("=?") != npos) display = decoded_display = decoded(display, id.memory());
    if (holds_other_address(display, domain_of(shape.address))) {
      fired.add(Check::FromDisplayAddress);
    }
  }
  if (envelope && !envelope->empty() && id.from) {
    const std::string_view a = domain_of(*envelope), b = domain_of(*id.from);
    if (!under(a, b) && !under(b, a)) fired.add(Check::EnvelopeMismatch);
  }
  return fired;
}

}  // namespace hdx_common
