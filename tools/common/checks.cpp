// The sender checks. Every scan here passes over a field once, or twice where an address is
// looked for around each "@", so hostile fields cost time in proportion to their length.
#include "checks.h"

#include <optional>
#include <utility>

#include "display.h"
#include "domains.h"
#include "fields.h"

namespace hdx_common {
namespace {

constexpr auto npos = std::string_view::npos;

// Text made of pieces of one string, in order: a view of it while each piece follows the one
// before, as an address's bytes mostly do, and a copy only from the first piece that does not.
class Pieces {
 public:
  explicit Pieces(std::pmr::memory_resource* memory) : copy_(memory) {}
  void add(std::string_view piece) {
    if (copied_ || (!view_.empty() && view_.data() + view_.size() != piece.data())) {
      if (!copied_) copy_.assign(view_);
      copied_ = true;
      copy_ += piece;
    } else {
      view_ = view_.empty() ? piece : std::string_view(view_.data(), view_.size() + piece.size());
    }
  }
  void clear() {
    view_ = {};
    copy_.clear();
    copied_ = false;
  }
  std::string_view view() const { return copied_ ? std::string_view(copy_) : view_; }

 private:
  std::string_view view_;
  Text copy_;
  bool copied_ = false;
};

// The first From field's value as RFC 5322 reads it: whether it names more than one mailbox, and
// its first mailbox, in angle brackets (closed or not) after a display name, or bare with
// comments beside it. Quoted strings and comments (nested) hide what they hold; a backslash hides
// the byte after it; a group's name and a source route are not part of the mailbox.
struct Mailbox {
  explicit Mailbox(std::pmr::memory_resource* memory) : address(memory), comments(memory) {}
  bool list = false;         // a comma, or a group's colon, outside quotes, comments and brackets
  bool angle = false;        // an angle bracket opened: the name-addr form
  std::string_view display;  // the text before it
  Pieces address;            // without comments and unquoted blanks; quotes and quoted pairs kept
  Pieces comments;           // the bare form's comments, each with its closing parenthesis
};

// Most From fields are "Name <address>", "<address>" or a bare address, without a quote, a
// comment, a backslash or a list's separator; those are read as the walk below would read them,
// without it, which halves what the checks cost on real mail.
std::optional<Mailbox> plain_mailbox(std::string_view v, std::pmr::memory_resource* memory) {
  std::size_t lt = npos;
  for (std::size_t i = 0; i < v.size(); ++i) {  // a loop: find_first_of calls memchr a byte
    switch (v[i]) {
      case '"': case '(': case '\\': case ',': case ';': case ':': return std::nullopt;
      case '<':
        if (lt != npos) return std::nullopt;
        lt = i;
        break;
      default: break;
    }
  }
  Mailbox m(memory);
  m.angle = lt != npos;
  std::string_view address = v;
  if (m.angle) {
    m.display = v.substr(0, lt);
    address = v.substr(lt + 1);
    address = address.substr(0, address.find('>'));
  }
  address = trim_blanks(address);
  for (const char c : address) {
    if (is_blank(c)) return std::nullopt;
  }
  m.address.add(address);
  return m;
}

Mailbox first_mailbox(std::string_view v, std::pmr::memory_resource* memory) {
  if (std::optional<Mailbox> plain = plain_mailbox(v, memory)) return std::move(*plain);
  Mailbox m(memory);
  bool quoted = false, in_angle = false, closed = false, done = false;
  std::size_t comments = 0, begin = 0;
  // Bytes of the address: inside the brackets, or anywhere in a bare mailbox.
  const auto keep = [&](std::string_view bytes) {
    if (!done && !closed && (in_angle || !m.angle)) m.address.add(bytes);
  };
  const auto start_over = [&](std::size_t at) {  // the mailbox starts after `at`
    begin = at + 1;
    m.address.clear();
    m.comments.clear();
  };
  // Once the first mailbox is read and the field known to be a list, nothing more can change.
  for (std::size_t i = 0; i < v.size() && !(done && m.list); ++i) {
    const char c = v[i];
    const std::string_view pair(v.data() + i, c == '\\' && i + 1 < v.size() ? 2 : 1);
    i += pair.size() - 1;
    if (comments > 0) {
      if (c == '(') ++comments;
      if (c == ')') --comments;
      if (!done) m.comments.add(pair);
    } else if (quoted || c == '"') {
      quoted = quoted ? pair != "\"" : true;
      keep(pair);
    } else if (c == '(') {
      comments = 1;
    } else if (in_angle) {
      in_angle = c != '>';
      closed = closed || !in_angle;
      if (c == ':' && !done && !closed) m.address.clear();  // the end of a source route
      if (in_angle && !is_blank(c)) keep(pair);
    } else if (c == '<') {
      in_angle = true;
      if (!done && !m.angle) m.display = v.substr(begin, i - begin), m.address.clear();
      m.angle = m.angle || !done;
    } else if (c == ',' || c == ';' || c == ':') {
      m.list = m.list || c != ';';
      if (c != ':' && (m.angle || !m.address.view().empty())) done = true;
      if (!done) start_over(i);
    } else if (!is_blank(c)) {
      keep(pair);
    }
  }
  return m;
}

// The library read the mailbox that a reader reads: the local parts the same once the reader's
// is unquoted, the domains the same.
bool same_mailbox(std::string_view read, std::string_view written,
                  std::pmr::memory_resource* memory) {
  const std::size_t at_a = read.rfind('@'), at_b = written.rfind('@');
  if (at_a == npos || at_b == npos) return false;
  const std::string_view local = written.substr(0, at_b);
  const bool plain = local.find_first_of("\"\\") == npos;  // most are: no copy to unquote
  return (plain ? read.substr(0, at_a) == local
                : read.substr(0, at_a) == unquoted(local, memory)) &&
         same_domain(read.substr(at_a + 1), written.substr(at_b + 1), memory);
}

// Whether text could show an address: only an "@", an encoded word or a character beyond ASCII
// (a full-width "＠") can put one there. Most display names have none, and cost nothing more.
bool may_show_address(std::string_view text) {
  for (const char c : text) {
    if (c == '@' || static_cast<unsigned char>(c) >= 0x80) return true;
  }
  return text.find("=?") != npos;
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
  for (const std::string_view word : list_items(list)) {
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

Checks sender_checks(const Identity& id) {
  const Item& envelope = id.envelope_sender();
  Checks fired;
  if (id.from_fields == 0) fired.add(Check::FromMissing);
  if (id.from_fields > 1) fired.add(Check::FromMultiple);
  if (id.from_fields == 0) return fired;
  std::pmr::memory_resource* memory = id.memory();
  const Mailbox m = first_mailbox(id.first_from, memory);
  const std::string_view address = m.address.view();
  if (m.list) fired.add(Check::FromList);
  if (!id.from) fired.add(Check::FromUnreadable);
  if (address.find('@') != npos) {
    if (id.from && !same_mailbox(*id.from, address, memory)) fired.add(Check::FromAmbiguous);
    // What a reader shows as the sender's name: the display name, or for a bare address the
    // comments beside it, which readers of the old "address (Name)" form show.
    const std::string_view names = m.angle ? m.display : m.comments.view();
    if (may_show_address(names) &&
        shows_other_address(names, domain_of(address), memory)) {
      fired.add(Check::FromDisplayAddress);
    }
  }
  // The envelope may be the author's, or that of the agent that transmitted the message for them
  // and says so in a Sender field (a mailing list, a bulk-mail service).
  const auto goes_with = [&](const Item& mailbox) {
    return mailbox && same_organisation(domain_of(*envelope), domain_of(*mailbox), memory);
  };
  if (envelope && !envelope->empty() && id.from && !goes_with(id.from) && !goes_with(id.sender)) {
    fired.add(Check::EnvelopeMismatch);
  }
  return fired;
}

}  // namespace hdx_common
