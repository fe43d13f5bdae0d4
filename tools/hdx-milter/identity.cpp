// The filter's own reading of a message, and the added field and log line built from it.
#include "identity.h"

#include <cstdio>

#include "hdx.hpp"
#include "output.h"

namespace hdx_milter {
namespace {

template <class Read>
Item read_capped(std::string text, Read read) {
  if (text.size() > kMaxField) return std::nullopt;
  return read(text);
}

Item path_of(std::string_view verb, const char* const* argv) {
  if (argv == nullptr || argv[0] == nullptr) return std::nullopt;
  return read_capped(command_text(verb, argv),
                     [](const std::string& c) { return hdx::path_address(c); });
}

// Values longer than this are cut in the added field (the log keeps them whole).
constexpr std::size_t kMaxShown = 200;

bool is_bare(unsigned char c) {
  return c > 0x20 && c < 0x7F && c != '"' && c != '\\' && c != ';' && c != ',' && c != '(' &&
         c != ')';
}

// A value as the added field writes it: as it stands when it is made only of printable ASCII
// without blanks or delimiters; otherwise quoted, with a backslash before a quote or a backslash,
// \xHH for every byte that is not printable ASCII, and "..." after a value that was cut. So no
// byte from the message reaches the field unless it is printable ASCII.
std::string shown(const Item& v) {
  if (!v) return "";
  const std::string_view s = std::string_view(*v).substr(0, kMaxShown);
  bool bare = !s.empty() && s.size() == v->size();
  for (const char c : s) bare = bare && is_bare(static_cast<unsigned char>(c));
  if (bare) return std::string(s);
  std::string q = "\"";
  for (const char ch : s) {
    const auto c = static_cast<unsigned char>(ch);
    if (c == '"' || c == '\\') {
      q += '\\';
      q += ch;
    } else if (c >= 0x20 && c < 0x7F) {
      q += ch;
    } else {
      char hex[5];
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      q += hex;
    }
  }
  if (s.size() != v->size()) q += "...";
  return q + "\"";
}

// Pieces of the field that are never split, each with the separator that ends it.
struct Piece {
  std::string text;
  bool ends_item;  // ";" and a space follow, else "," and nothing
};

void add_item(std::vector<Piece>& pieces, std::string_view name, const Item& v) {
  pieces.push_back({std::string(name) + "=" + shown(v), true});
}
void add_list(std::vector<Piece>& pieces, std::string_view name, const std::vector<Item>& list) {
  std::string first = std::string(name) + "=";
  if (list.empty()) {
    pieces.push_back({first, true});
    return;
  }
  for (std::size_t i = 0; i < list.size(); ++i) {
    pieces.push_back({(i == 0 ? first : "") + shown(list[i]), i + 1 == list.size()});
  }
}

}  // namespace

bool is_field_name(std::string_view name, std::string_view want) {
  while (!name.empty() && (name.back() == ' ' || name.back() == '\t')) name.remove_suffix(1);
  if (name.size() != want.size()) return false;
  const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
  for (std::size_t i = 0; i < name.size(); ++i) {
    if (lower(name[i]) != lower(want[i])) return false;
  }
  return true;
}

void Identity::start_message() {
  std::string kept = std::move(peer);
  *this = Identity();
  peer = std::move(kept);
}

void Identity::mail_from(const char* const* argv) { envelope_from = path_of("MAIL FROM:", argv); }

void Identity::rcpt_to(const char* const* argv) {
  if (rcpt.size() < kMaxItems) rcpt.push_back(path_of("RCPT TO:", argv));
}

void Identity::header(std::string_view name, std::string_view value) {
  const auto address = [](std::string& f) { return hdx::sender_address_in_place(f); };
  if (is_field_name(name, "From") && !seen_from) {
    seen_from = true;
    from = read_capped(raw_field(name, value), address);
  } else if (is_field_name(name, "Return-Path") && !seen_return_path) {
    seen_return_path = true;
    return_path = read_capped(raw_field(name, value), address);
  } else if (is_field_name(name, "Received") && received.size() < kMaxItems) {
    received.push_back(read_capped(raw_field(name, value), [](std::string& f) -> Item {
      const auto ip = hdx::sender_ip_in_place(f);
      return ip ? Item(std::string(*ip)) : std::nullopt;
    }));
  }
}

std::string command_text(std::string_view verb, const char* const* argv) {
  std::string text(verb);
  text += argv[0];
  for (const char* const* arg = argv + 1; *arg != nullptr; ++arg) (text += ' ') += *arg;
  return text;
}

std::string raw_field(std::string_view name, std::string_view value) {
  std::string field(name);
  field += ':';
  // The MTA hands folds over with LF alone; on the wire every line ends in CR LF.
  for (std::size_t i = 0; i < value.size(); ++i) {
    if (value[i] == '\n' && (i == 0 || value[i - 1] != '\r')) field += '\r';
    field += value[i];
  }
  return field + "\r\n";
}

std::string field_value(const Identity& id, std::size_t name_len) {
  std::vector<Piece> pieces;
  add_item(pieces, "peer", id.peer.empty() ? Item() : Item(id.peer));
  add_item(pieces, "envelope-from", id.envelope_from);
  add_list(pieces, "rcpt", id.rcpt);
  add_item(pieces, "from", id.from);
  add_item(pieces, "return-path", id.return_path);
  add_list(pieces, "received-ip", id.received);
  // Lines are kept near 78 bytes; a piece holds at most a cut value, so none nears 998.
  constexpr std::size_t kLine = 78;
  std::string value;
  std::size_t line = name_len + 2;  // "Name: "
  for (std::size_t i = 0; i < pieces.size(); ++i) {
    std::string text = pieces[i].text;
    if (i + 1 < pieces.size()) text += pieces[i].ends_item ? ";" : ",";
    const std::string_view glue = i == 0 || !pieces[i - 1].ends_item ? "" : " ";
    if (i != 0 && line + glue.size() + text.size() > kLine) {
      value += "\n\t";
      line = 1;
    } else {
      value += glue;
      line += glue.size();
    }
    value += text;
    line += text.size();
  }
  return value;
}

std::string log_line(const Identity& id, std::string_view queue_id) {
  using hdx_tool::Format;
  using hdx_tool::Record;
  return Record(Format::Json)
      .text("queue_id", std::string(queue_id))
      .text("peer", id.peer)
      .text("envelope_from", id.envelope_from)
      .list("rcpt", id.rcpt)
      .text("from", id.from)
      .text("return_path", id.return_path)
      .list("received", id.received)
      .finish();
}

}  // namespace hdx_milter
