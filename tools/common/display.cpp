// What a mail reader shows, through libunistring for Unicode's character properties and
// normalisation and iconv for charsets. Each pass reads its text once, so a hostile display name
// (a megabyte of encoded words, of zero-width characters) costs time in proportion to its length.
#include "display.h"

#include <iconv.h>
#include <unictype.h>
#include <uninorm.h>
#include <unistr.h>

#include <cerrno>
#include <cstdlib>
#include <optional>

#include "domains.h"
#include "fields.h"

namespace hdx_common {
namespace {

constexpr auto npos = std::string_view::npos;

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

// Text outside encoded words as a reader shows it: a backslash shows the byte after it, a quote
// mark delimits and is not shown.
void append_unescaped(std::string_view text, Text& out) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 1 < text.size()) {
      out += text[++i];
    } else if (text[i] != '"' && text[i] != '\\') {
      out += text[i];
    }
  }
}

// Bytes in a charset, appended as UTF-8. Bytes that the charset does not define, and those of a
// charset that iconv does not know, stand as they are (a reader shows something for them too).
void append_utf8(std::string_view bytes, std::string_view charset, Text& out) {
  charset = charset.substr(0, charset.find('*'));  // RFC 2231's language tag
  if (equal_ignoring_case(charset, "utf-8") || equal_ignoring_case(charset, "us-ascii")) {
    out += bytes;
    return;
  }
  // An empty name would make iconv take the locale's charset, which is nothing the message said.
  const Text name(charset, out.get_allocator().resource());
  const iconv_t cd =
      name.empty() ? reinterpret_cast<iconv_t>(-1) : iconv_open("UTF-8", name.c_str());
  if (cd == reinterpret_cast<iconv_t>(-1)) {
    out += bytes;
    return;
  }
  char* in = const_cast<char*>(bytes.data());
  std::size_t in_left = bytes.size();
  while (in_left > 0) {
    char chunk[256];
    char* to = chunk;
    std::size_t room = sizeof chunk;
    const std::size_t done = iconv(cd, &in, &in_left, &to, &room);
    out.append(chunk, static_cast<std::size_t>(to - chunk));
    if (done == static_cast<std::size_t>(-1) && errno != E2BIG) {
      if (errno == EINVAL) break;  // a character cut off by the end
      out += *in++;                // one the charset does not define
      --in_left;
    }
  }
  iconv_close(cd);
}

struct EncodedWord {
  std::string_view charset;
  char encoding;  // 'b' or 'q'
  std::string_view text;
  std::size_t end;  // just past its "?="
};

// The encoded word (=?charset?B?...?= or =?charset?Q?...?=) that starts at `start`, where t holds
// "=?". `none_later` is set when no "?=" ends one anywhere after it: then no later "=?" starts one
// either, and the caller stops looking.
std::optional<EncodedWord> word_at(std::string_view t, std::size_t start, bool& none_later) {
  const std::size_t mark = t.find('?', start + 2);
  if (mark == npos || mark + 2 >= t.size() || t[mark + 2] != '?') return std::nullopt;
  const char encoding = ascii_lower(t[mark + 1]);
  if (encoding != 'b' && encoding != 'q') return std::nullopt;
  const std::size_t end = t.find("?=", mark + 3);
  none_later = end == npos;
  if (none_later) return std::nullopt;
  return EncodedWord{t.substr(start + 2, mark - start - 2), encoding,
                     t.substr(mark + 3, end - mark - 3), end + 2};
}

// Encoded words decoded into UTF-8, and the text between them unescaped. The bytes of adjacent
// words in one charset are converted together, since a character may be split between them.
Text decode_words(std::string_view t, std::pmr::memory_resource* memory) {
  Text out(memory), run(memory);
  std::string_view run_charset;
  const auto flush = [&] {
    if (!run.empty()) append_utf8(run, run_charset, out);
    run.clear();
  };
  std::size_t i = 0;
  bool after_word = false;
  for (std::size_t start; (start = t.find("=?", i)) != npos;) {
    bool none_later = false;
    const std::optional<EncodedWord> word = word_at(t, start, none_later);
    if (none_later) break;
    if (!word) {  // an "=?" that starts none is text
      flush();
      append_unescaped(t.substr(i, start + 2 - i), out);
      i = start + 2;
      after_word = false;
      continue;
    }
    // Blanks between two encoded words are not shown.
    const std::string_view gap = t.substr(i, start - i);
    if (!after_word || gap.find_first_not_of(" \t\r\n") != npos) {
      flush();
      append_unescaped(gap, out);
    }
    if (!equal_ignoring_case(word->charset, run_charset)) flush();
    run_charset = word->charset;
    word->encoding == 'b' ? decode_base64(word->text, run) : decode_q(word->text, run);
    i = word->end;
    after_word = true;
  }
  flush();
  append_unescaped(t.substr(i), out);
  return out;
}

// Whether UTF-8 text holds an "@", or a character whose compatibility form holds one (a
// full-width "＠"): only such a text can show an address once folded. Most names hold neither,
// and a character's decomposition tag is one table lookup where folding it is several.
bool may_fold_to_at(std::string_view s) {
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(s.data());
  for (std::size_t i = 0; i < s.size();) {
    if (bytes[i] < 0x80) {
      if (s[i++] == '@') return true;
      continue;
    }
    ucs4_t c;
    i += static_cast<std::size_t>(u8_mbtouc(&c, bytes + i, s.size() - i));
    ucs4_t form[UC_DECOMPOSITION_MAX_LENGTH];
    int tag = UC_DECOMP_CANONICAL;
    if (uc_decomposition(c, &tag, form) > 0 && tag != UC_DECOMP_CANONICAL) return true;
  }
  return false;
}

// UTF-8 with invisible characters dropped and every other one in its compatibility form (NFKC,
// one character at a time: what matters is what each looks like, not how marks combine).
Text folded(std::string_view s, std::pmr::memory_resource* memory) {
  Text out(memory);
  out.reserve(s.size());
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(s.data());
  for (std::size_t i = 0; i < s.size();) {
    if (bytes[i] < 0x80) {
      out += s[i++];
      continue;
    }
    ucs4_t c;
    i += static_cast<std::size_t>(u8_mbtouc(&c, bytes + i, s.size() - i));
    if (uc_is_general_category(c, UC_CATEGORY_Cf) ||
        uc_is_property_default_ignorable_code_point(c)) {
      continue;
    }
    // A character without a compatibility decomposition is its own form: the letters of most
    // scripts, and those that decompose only canonically ("ü"). That spares normalising them.
    ucs4_t form[UC_DECOMPOSITION_MAX_LENGTH];
    std::size_t length = std::size(form);
    int tag = UC_DECOMP_CANONICAL;
    const bool compatible = uc_decomposition(c, &tag, form) > 0 && tag != UC_DECOMP_CANONICAL;
    ucs4_t* made = compatible ? u32_normalize(UNINORM_NFKC, &c, 1, form, &length) : nullptr;
    if (made != form) {  // its own form (or one longer than any character's, which stands as it is)
      std::free(made);
      form[0] = c;
      length = 1;
    }
    for (std::size_t k = 0; k < length; ++k) {
      std::uint8_t utf8[6];
      const int n = u8_uctomb(utf8, form[k], sizeof utf8);
      if (n > 0) out.append(reinterpret_cast<const char*>(utf8), static_cast<std::size_t>(n));
    }
  }
  return out;
}

bool is_ascii_alnum(char c) {
  return (c >= '0' && c <= '9') || (ascii_lower(c) >= 'a' && ascii_lower(c) <= 'z');
}
bool is_local_byte(char c) {
  switch (c) {
    case '!': case '#': case '$': case '%': case '&': case '\'': case '*': case '+': case '-':
    case '/': case '=': case '?': case '^': case '_': case '`': case '{': case '|': case '}':
    case '~': case '.': return true;
    default: return is_ascii_alnum(c);
  }
}
bool is_domain_byte(char c) { return is_ascii_alnum(c) || c == '-' || c == '.'; }

// A letter, mark or digit beyond ASCII: what an internationalised address may hold.
bool is_word_character(ucs4_t c) {
  return uc_is_general_category(c, UC_CATEGORY_L) || uc_is_general_category(c, UC_CATEGORY_M) ||
         uc_is_general_category(c, UC_CATEGORY_N);
}

// The length of the character that starts at s[i] if it is beyond ASCII and may stand in an
// address; 0 otherwise.
std::size_t word_character_at(std::string_view s, std::size_t i) {
  ucs4_t c;
  const int n = u8_mbtouc(&c, reinterpret_cast<const std::uint8_t*>(s.data()) + i, s.size() - i);
  return c != 0xFFFD && is_word_character(c) ? static_cast<std::size_t>(n) : 0;
}

// Where the address part that ends at `at` begins: back over local-part characters.
std::size_t local_part_begin(std::string_view s, std::size_t at) {
  std::size_t begin = at;
  while (begin > 0) {
    if (static_cast<unsigned char>(s[begin - 1]) < 0x80) {
      if (!is_local_byte(s[begin - 1])) break;
      --begin;
      continue;
    }
    std::size_t lead = begin - 1;  // a character is at most four bytes
    while (lead > 0 && begin - lead < 4 && (static_cast<unsigned char>(s[lead]) & 0xC0) == 0x80) {
      --lead;
    }
    if (word_character_at(s, lead) != begin - lead) break;
    begin = lead;
  }
  return begin;
}

// Where the domain that starts at `begin` ends.
std::size_t domain_end(std::string_view s, std::size_t begin) {
  std::size_t end = begin;
  while (end < s.size()) {
    if (static_cast<unsigned char>(s[end]) < 0x80) {
      if (!is_domain_byte(s[end])) break;
      ++end;
    } else if (const std::size_t n = word_character_at(s, end); n > 0) {
      end += n;
    } else {
      break;
    }
  }
  return end;
}

}  // namespace

Text unquoted(std::string_view raw, std::pmr::memory_resource* memory) {
  Text out(memory);
  append_unescaped(raw, out);
  return out;
}

bool shows_other_address(std::string_view name, std::string_view domain,
                         std::pmr::memory_resource* memory) {
  const Text decoded = decode_words(name, memory);
  if (!may_fold_to_at(decoded)) return false;  // most names: no need to fold them
  const Text shown = folded(decoded, memory);
  const std::string_view text = shown;
  // Each byte is looked at twice at most: as the domain after one "@" and the local part before
  // the next.
  for (std::size_t at = text.find('@'); at != npos; at = text.find('@', at + 1)) {
    std::string_view found = text.substr(at + 1, domain_end(text, at + 1) - at - 1);
    while (!found.empty() && found.back() == '.') found.remove_suffix(1);  // a sentence's stop
    const std::size_t dot = found.find('.');
    if (local_part_begin(text, at) < at && dot != npos && dot != 0 &&
        !same_domain(found, domain, memory)) {
      return true;
    }
  }
  return false;
}

}  // namespace hdx_common
