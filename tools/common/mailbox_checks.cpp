// The sender checks for hosts written in C.
#include "mailbox_checks.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>

#include "checks.h"

extern "C" std::size_t hdx_mailbox_checks(const char* const* fields, const std::size_t* sizes,
                                          std::size_t count, char* out, std::size_t out_size) {
  if (out_size != 0) out[0] = '\0';
  // The caller is C: out of memory is a result here, never an exception that unwinds into it.
  try {
    // No caps: a mailbox's header sections are bounded already, as hdx scan reads them.
    hdx_common::Identity id(std::pmr::get_default_resource(), hdx_common::kNoCaps);
    for (std::size_t i = 0; i < count; ++i) id.field({fields[i], sizes[i]});
    const hdx_common::Text names = hdx_common::sender_checks(id).names(',');
    if (out_size != 0) {
      const std::size_t kept = std::min(names.size(), out_size - 1);
      std::memcpy(out, names.data(), kept);
      out[kept] = '\0';
    }
    return names.size();
  } catch (const std::bad_alloc&) {
    return SIZE_MAX;
  }
}
