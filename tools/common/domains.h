// Domains as the sender checks compare them: the same domain whatever its case, trailing dot or
// spelling (Unicode or its IDNA A-labels), and the organisational domain that DMARC's relaxed
// alignment compares, from the public suffix list.
#ifndef HDX_COMMON_DOMAINS_H
#define HDX_COMMON_DOMAINS_H

#include <string_view>

#include "identity.h"

namespace hdx_common {

// The domain of an address: what follows its last "@"; empty when it has none.
std::string_view domain_of(std::string_view address);

// The domain as a resolver looks it up: lowercase ASCII, Unicode labels as their IDNA A-labels,
// without a trailing dot, a domain literal without its brackets and blanks. A domain that IDNA
// refuses (no resolver could look it up) keeps its text, lowercased as ASCII only.
Text lookup_form(std::string_view domain, std::pmr::memory_resource* memory);

// Whether two domains name the same one.
bool same_domain(std::string_view a, std::string_view b, std::pmr::memory_resource* memory);

// Whether two domains belong to one organisation: the same registrable domain under the public
// suffix list (a.example.co.uk and b.example.co.uk, not a.co.uk and b.co.uk). A public suffix
// itself (com, co.uk) and an address literal go with themselves alone.
bool same_organisation(std::string_view a, std::string_view b, std::pmr::memory_resource* memory);

}  // namespace hdx_common

#endif  // HDX_COMMON_DOMAINS_H
