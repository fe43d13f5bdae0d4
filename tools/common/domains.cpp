// IDNA through libidn2 and the public suffix list through libpsl, the list Debian packages, so
// that every host compares domains alike and none keeps a list of its own.
#include "domains.h"

#include <idn2.h>
#include <libpsl.h>

#include "fields.h"

namespace hdx_common {
namespace {

bool is_ascii(std::string_view s) {
  for (const char c : s) {
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  }
  return true;
}

// An IPv4 or IPv6 literal, which has no organisation: its last label is a number, or it holds a
// colon (IPv6, or "IPv6:..." as a literal's tag).
bool is_address_literal(std::string_view d) {
  if (d.find(':') != std::string_view::npos) return true;
  const std::string_view last = d.substr(d.rfind('.') + 1);
  return !last.empty() && last.find_first_not_of("0123456789") == std::string_view::npos;
}

}  // namespace

std::string_view domain_of(std::string_view address) {
  const std::size_t at = address.rfind('@');
  return at == std::string_view::npos ? std::string_view() : address.substr(at + 1);
}

Text lookup_form(std::string_view d, std::pmr::memory_resource* memory) {
  const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
  if (d.size() >= 2 && d.front() == '[' && d.back() == ']') d = d.substr(1, d.size() - 2);
  while (!d.empty() && blank(d.front())) d.remove_prefix(1);
  while (!d.empty() && (blank(d.back()) || d.back() == '.')) d.remove_suffix(1);
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
  if (is_ascii(a) && is_ascii(b) && equal_ignoring_case(a, b)) return true;
  return lookup_form(a, memory) == lookup_form(b, memory);
}

bool same_organisation(std::string_view a, std::string_view b,
                       std::pmr::memory_resource* memory) {
  const Text x = lookup_form(a, memory), y = lookup_form(b, memory);
  if (x.empty() || y.empty()) return false;
  if (is_address_literal(x) || is_address_literal(y)) return x == y;
  // The list libpsl was built with, which Debian builds from its publicsuffix package: it is
  // compiled in, so looking it up allocates nothing and keeps nothing between calls.
  const psl_ctx_t* list = psl_builtin();
  const char* org_x = psl_registrable_domain(list, x.c_str());
  const char* org_y = psl_registrable_domain(list, y.c_str());
  return org_x != nullptr && org_y != nullptr && std::string_view(org_x) == org_y;
}

}  // namespace hdx_common
