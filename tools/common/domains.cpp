// IDNA through libidn2 and the public suffix list through libpsl, the list Debian packages, so
// that every host compares domains alike and none keeps a list of its own.
#include "domains.h"

#include <idn2.h>
#include <libpsl.h>

#include <algorithm>

#include "fields.h"

namespace hdx_common {
namespace {

constexpr auto npos = std::string_view::npos;

bool is_ascii(std::string_view s) {
  for (const char c : s) {
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  }
  return true;
}

// An IPv4 or IPv6 literal, which has no organisation: its last label is a number, or it holds a
// colon (IPv6, or "IPv6:..." as a literal's tag).
bool is_address_literal(std::string_view d) {
  if (d.find(':') != npos) return true;
  const std::string_view last = d.substr(d.rfind('.') + 1);
  return !last.empty() && std::all_of(last.begin(), last.end(), [](char c) {
    return c >= '0' && c <= '9';
  });
}

// A domain without what does not make it another: a literal's brackets and blanks, a trailing
// dot.
std::string_view trimmed(std::string_view d) {
  if (d.size() >= 2 && d.front() == '[' && d.back() == ']') d = d.substr(1, d.size() - 2);
  d = trim_blanks(d);
  while (!d.empty() && d.back() == '.') d.remove_suffix(1);
  return d;
}

// A domain's last two labels, or all of it where it has fewer. A registrable domain ends in them,
// so two domains whose last two labels differ belong to different organisations.
std::string_view last_two_labels(std::string_view d) {
  const std::size_t last = d.rfind('.');
  const std::size_t before = last == 0 || last == npos ? npos : d.rfind('.', last - 1);
  return before == npos ? d : d.substr(before + 1);
}

}  // namespace

std::string_view domain_of(std::string_view address) {
  const std::size_t at = address.rfind('@');
  return at == npos ? std::string_view() : address.substr(at + 1);
}

Text lookup_form(std::string_view d, std::pmr::memory_resource* memory) {
  d = trimmed(d);
  Text out(d, memory);
  if (!is_ascii(d)) {
    // libidn2 allocates its answer with malloc; it is copied and freed at once.
    std::uint8_t* ascii = nullptr;
    if (idn2_lookup_u8(reinterpret_cast<const std::uint8_t*>(out.c_str()), &ascii,
                       IDN2_NFC_INPUT | IDN2_NONTRANSITIONAL) == IDN2_OK) {
      out = reinterpret_cast<const char*>(ascii);
    }
    idn2_free(ascii);
  }
  for (char& c : out) c = ascii_lower(c);
  return out;
}

bool same_domain(std::string_view a, std::string_view b, std::pmr::memory_resource* memory) {
  a = trimmed(a), b = trimmed(b);
  if (equal_ignoring_case(a, b)) return true;
  if (is_ascii(a) && is_ascii(b)) return false;
  return lookup_form(a, memory) == lookup_form(b, memory);
}

bool same_organisation(std::string_view a, std::string_view b, std::pmr::memory_resource* memory) {
  // Looking a domain up in the list costs more than the rest of the checks together, so two
  // domains are looked up only where they differ but end alike, and then no more of their
  // suffixes than tell.
  a = trimmed(a), b = trimmed(b);
  if (equal_ignoring_case(a, b)) return !a.empty();
  if (is_ascii(a) && is_ascii(b) && !equal_ignoring_case(last_two_labels(a), last_two_labels(b))) {
    return false;
  }
  const Text x = lookup_form(a, memory), y = lookup_form(b, memory);
  if (x == y) return !x.empty();  // one domain, spelled in Unicode and in A-labels
  if (x.empty() || y.empty() || is_address_literal(x) || is_address_literal(y) ||
      last_two_labels(x) != last_two_labels(y)) {
    return false;
  }
  // Both end in their longest common suffix of whole labels. They belong to one organisation
  // unless that suffix, or a longer one of either, is a public suffix under the list's rules
  // (wildcards and exceptions included): then their registrable domains, a label more than their
  // public suffixes, differ or do not exist.
  std::size_t common = 0;
  while (common < x.size() && common < y.size() &&
         x[x.size() - 1 - common] == y[y.size() - 1 - common]) {
    ++common;
  }
  const auto label_starts = [&common](const Text& d) {
    return d.size() == common || d[d.size() - common - 1] == '.';
  };
  while (!label_starts(x) || !label_starts(y)) --common;
  // The list libpsl was built with, which Debian builds from its publicsuffix package: it is
  // compiled in, so looking it up allocates nothing and keeps nothing between calls.
  const psl_ctx_t* list = psl_builtin();
  if (psl_is_public_suffix(list, x.c_str() + x.size() - common)) return false;
  for (const Text* d : {&x, &y}) {
    for (std::size_t at = d->size() - common; at > 0;) {
      const std::size_t dot = at >= 2 ? d->rfind('.', at - 2) : npos;  // the label before
      at = dot == npos ? 0 : dot + 1;
      if (psl_is_public_suffix(list, d->c_str() + at)) return false;
    }
  }
  return true;
}

}  // namespace hdx_common
