// Display names and comments as a person is shown them, and the addresses a person reads there.
// A reader decodes, unescapes and renders what the header spells, so a check that looks for an
// address in a display name must look at the same text: whatever spelling hides the "@" or the
// domain from a byte scan must not hide it from the check.
#ifndef HDX_COMMON_DISPLAY_H
#define HDX_COMMON_DISPLAY_H

#include <string_view>

#include "identity.h"

namespace hdx_common {

// A quoted string's or a local part's text as a reader shows it: quoted pairs unescaped, quote
// marks gone.
Text unquoted(std::string_view raw, std::pmr::memory_resource* memory);

// Whether a name (a display name, a comment) shows an address (local@domain, a dot inside the
// domain, letters of any script) whose domain is not `domain`, read as a mail reader shows it:
// encoded words decoded from their charsets, with the blanks between adjacent ones dropped as
// RFC 2047 says; quoted pairs unescaped and quote marks gone; Unicode format and other invisible
// characters dropped (zero-width space and joiners, soft hyphen, word joiner, BOM, bidirectional
// controls); each character in its compatibility form (full-width "＠" as "@", ligatures as
// their letters).
bool shows_other_address(std::string_view name, std::string_view domain,
                         std::pmr::memory_resource* memory);

}  // namespace hdx_common

#endif  // HDX_COMMON_DISPLAY_H
