// A message's identity as libhdx reads it, and the added field and log line built from it.
#include "identity.h"

#include <algorithm>

#include "checks.h"
#include "fields.h"
#include "hdx.hpp"
#include "record.h"

namespace hdx_common {
namespace {

Item path_of(std::string_view command, const Caps& caps, std::pmr::memory_resource* memory) {
  if (command.size() > caps.field) return std::nullopt;
  return hdx::path_address<Text>(command, memory);
}

bool is_bare(unsigned char c) {
  return c > 0x20 && c < 0x7F && c != '"' && c != '\\' && c != ';' && c != ',' && c != '(' &&
         c != ')';
}

// Whether a Received field's "with" protocol says the client authenticated: RFC 3848's ESMTPA,
// ESMTPSA, LMTPA, LMTPSA, and the UTF8 ones, an A after SMTP or LMTP and an S for TLS.
bool authenticated_hop(std::string_view received) {
  for (std::size_t at = 0; (at = received.find("with", at)) != std::string_view::npos; at += 4) {
    if (at == 0 || !is_blank(received[at - 1]) || at + 4 >= received.size() ||
        !is_blank(received[at + 4])) {
      continue;
    }
    std::size_t begin = at + 4;
    while (begin < received.size() && is_blank(received[begin])) ++begin;
    std::size_t end = begin;
    while (end < received.size() && !is_blank(received[end]) && received[end] != ';') ++end;
    const std::string_view protocol = received.substr(begin, end - begin);
    const std::size_t mtp = protocol.find_first_of("mM") + 1;  // after SMTP's or LMTP's S or L
    const std::string_view tail = protocol.substr(std::min(mtp, protocol.size()));
    return mtp > 1 && (equal_ignoring_case(tail, "tpa") || equal_ignoring_case(tail, "tpsa"));
  }
  return false;
}

// Values longer than this are cut in the added field (the log keeps them whole): their middle
// goes, so that an address keeps the domain at its end.
constexpr std::size_t kMaxShown = 200;

// Appends a value as the added field writes it: as it stands when it is made only of printable
// ASCII without blanks or delimiters; otherwise quoted, with a backslash before a quote or a
// backslash, \xHH for every byte that is not printable ASCII, and "..." where a long value's
// middle was cut. So no byte from the message reaches the field unless it is printable ASCII.
void append_shown(Text& out, Value v) {
  if (!v) return;
  const std::string_view s = *v;
  bool bare = !s.empty() && s.size() <= kMaxShown;
  for (std::size_t i = 0; bare && i < s.size(); ++i) bare = is_bare(static_cast<unsigned char>(s[i]));
  if (bare) {
    out += s;
    return;
  }
  const auto escaped = [&out](std::string_view part) {
    constexpr char kHex[] = "0123456789ABCDEF";
    for (const char ch : part) {
      const auto c = static_cast<unsigned char>(ch);
      if (c == '"' || c == '\\') {
        out += '\\';
        out += ch;
      } else if (c >= 0x20 && c < 0x7F) {
        out += ch;
      } else {
        const char hex[] = {'\\', 'x', kHex[c >> 4], kHex[c & 0xF]};
        out.append(hex, sizeof hex);
      }
    }
  };
  out += '"';
  if (s.size() <= kMaxShown) {
    escaped(s);
  } else {
    escaped(s.substr(0, kMaxShown / 2));
    out += "...";
    escaped(s.substr(s.size() - kMaxShown / 2));
  }
  out += '"';
}

// Writes the field a piece at a time. A piece ("name=value" or a list's next entry) is never
// split; it is followed by ";" and a blank when it ends an item, by "," inside a list, and by
// nothing when it is the last. Lines are kept near 78 bytes; a piece holds at most a cut value,
// so none nears 998.
class FoldedField {
 public:
  FoldedField(Text& out, std::size_t first_line) : out_(out), line_(first_line) {}

  void put(std::string_view piece, bool ends_item, bool last) {
    constexpr std::size_t kLine = 78;
    const std::size_t separator = last ? 0 : 1;
    const std::string_view glue = first_ || !ended_item_ ? "" : " ";
    if (!first_ && line_ + glue.size() + piece.size() + separator > kLine) {
      out_ += "\n\t";
      line_ = 1;
    } else {
      out_ += glue;
      line_ += glue.size();
    }
    out_ += piece;
    if (!last) out_ += ends_item ? ';' : ',';
    line_ += piece.size() + separator;
    first_ = false;
    ended_item_ = ends_item;
  }

 private:
  Text& out_;
  std::size_t line_;
  bool first_ = true, ended_item_ = false;
};

}  // namespace

Identity::Identity(std::pmr::memory_resource* memory, Caps c)
    : caps(c), peer(memory), rcpt(memory), received(memory), relay(memory), first_from(memory) {}

void Identity::start_message() {
  envelope_from.reset();
  rcpt.clear();
  from.reset();
  return_path.reset();
  received.clear();
  seen_return_path = false;
  sender.reset();
  seen_sender = false;
  relay.clear();
  relay_authenticated = false;
  from_fields = 0;
  first_from.clear();
}

void Identity::mail_from(std::string_view command) {
  has_envelope = true;
  envelope_from = path_of(command, caps, memory());
}

void Identity::rcpt_to(std::string_view command) {
  if (rcpt.size() < caps.items) rcpt.push_back(path_of(command, caps, memory()));
}

Identity::Slot Identity::claim(std::string_view name) {
  if (is_field_name(name, "From") && from_fields++ == 0) return Slot::From;
  if (is_field_name(name, "Return-Path") && !seen_return_path) {
    seen_return_path = true;
    return Slot::ReturnPath;
  }
  if (is_field_name(name, "Sender") && !seen_sender) {
    seen_sender = true;
    return Slot::Sender;
  }
  if (is_field_name(name, "Received") && received.size() < caps.items) return Slot::Received;
  return Slot::None;
}

void Identity::header(std::string_view name, std::string_view value) {
  value = value.substr(0, value.find('\0'));
  const Slot slot = claim(name);
  if (slot == Slot::None) return;
  // The MTA hands folds over with LF alone; on the wire every line ends in CR LF, and that is
  // what the library reads. A field over the cap is measured, never copied.
  const auto bare_lf = [value](std::size_t i) {
    return value[i] == '\n' && (i == 0 || value[i - 1] != '\r');
  };
  std::size_t size = name.size() + 1 + value.size() + 2;
  for (std::size_t i = 0; i < value.size(); ++i) size += bare_lf(i);
  Text text(memory());
  if (size <= caps.field) {
    text.reserve(size);
    (text += name) += ':';
    for (std::size_t i = 0; i < value.size(); ++i) {
      if (bare_lf(i)) text += '\r';
      text += value[i];
    }
    text += "\r\n";
  }
  read(slot, text);
}

void Identity::field(std::string_view whole) {
  whole = whole.substr(0, whole.find('\0'));
  const auto parts = split_field(whole);
  const Slot slot = parts ? claim(parts->name) : Slot::None;
  if (slot == Slot::None) return;
  Text text(whole.size() <= caps.field ? whole : "", memory());
  read(slot, text);
}

// An empty text stands for a field over the cap: its item is there, and empty.
void Identity::read(Slot slot, Text& text) {
  // A Return-Path field is read as a From field is.
  Item item;
  if (!text.empty() && slot == Slot::Received) {
    if (const auto ip = hdx::sender_ip_in_place(text)) item = Text(*ip, memory());
    if (item && relay.empty()) {
      relay = *item;
      relay_authenticated = authenticated_hop(text);
    }
  } else if (!text.empty()) {
    // The library cuts the field in place; the checks read it as it came.
    if (slot == Slot::From) first_from.assign(text, text.find(':') + 1);
    item = hdx::sender_address_in_place(text);
  }
  switch (slot) {
    case Slot::From: from = std::move(item); break;
    case Slot::ReturnPath: return_path = std::move(item); break;
    case Slot::Sender: sender = std::move(item); break;
    case Slot::Received: received.push_back(std::move(item)); break;
    case Slot::None: break;
  }
}

Text field_value(const Identity& id, const Checks& fired, std::size_t name_len,
                 std::string_view action, std::string_view spared) {
  Text value(id.memory()), piece(id.memory());
  FoldedField field(value, name_len + 2);  // "Name: "
  const auto item = [&](std::string_view name, Value v) {
    ((piece = name) += '=');
    append_shown(piece, v);
    field.put(piece, true, false);
  };
  // The last list is the field's last piece.
  const auto list = [&](std::string_view name, const Items& items, bool last) {
    ((piece = name) += '=');
    if (items.empty()) field.put(piece, true, last);
    for (std::size_t i = 0; i < items.size(); ++i) {
      if (i != 0) piece.clear();
      append_shown(piece, items[i]);
      const bool ends = i + 1 == items.size();
      field.put(piece, ends, ends && last);
    }
  };
  item("peer", id.peer.empty() ? Value() : Value(id.peer));
  item("envelope-from", id.envelope_from);
  list("rcpt", id.rcpt, false);
  item("from", id.from);
  item("return-path", id.return_path);
  list("received-ip", id.received, false);
  list("checks", items_of(fired, id.memory()), false);
  ((piece = "action=") += action);
  field.put(piece, true, spared.empty());
  if (!spared.empty()) field.put((piece = "spared=") += spared, true, true);
  return value;
}

std::string log_line(const Identity& id, const Checks& fired, std::string_view queue_id,
                     std::string_view action, std::string_view spared) {
  Record record(Format::Json);
  record
      .text("queue_id", queue_id)
      .text("peer", std::string_view(id.peer))
      .text("envelope_from", id.envelope_from)
      .list("rcpt", id.rcpt)
      .text("from", id.from)
      .text("return_path", id.return_path)
      .list("received", id.received)
      .list("checks", items_of(fired, id.memory()))
      .text("action", action);
  if (!spared.empty()) record.text("spared", spared);
  return record.finish();
}

}  // namespace hdx_common
