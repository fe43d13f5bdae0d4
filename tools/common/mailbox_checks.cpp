// The sender checks and the policy for hosts written in C.
#include "mailbox_checks.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>

#include "checks.h"
#include "policy.h"

namespace {

// Text into OUT, zero-ended, cut to fit.
void put(std::string_view text, char* out, std::size_t out_size) {
  if (out_size == 0) return;
  const std::size_t kept = std::min(text.size(), out_size - 1);
  std::memcpy(out, text.data(), kept);
  out[kept] = '\0';
}

// What a mailbox's message says. No caps: a mailbox's header sections are bounded already, as
// hdx scan reads them.
void read_fields(hdx_common::Identity& id, const char* const* fields, const std::size_t* sizes,
                 std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) id.field({fields[i], sizes[i]});
}

}  // namespace

// The callers are C: out of memory is a result here, never an exception that unwinds into them.
extern "C" std::size_t hdx_mailbox_checks(const char* const* fields, const std::size_t* sizes,
                                          std::size_t count, char* out, std::size_t out_size) {
  put("", out, out_size);
  try {
    hdx_common::Identity id(std::pmr::get_default_resource(), hdx_common::kNoCaps);
    read_fields(id, fields, sizes, count);
    const hdx_common::Text names = hdx_common::sender_checks(id).names(',');
    put(names, out, out_size);
    return names.size();
  } catch (const std::bad_alloc&) {
    return SIZE_MAX;
  }
}

extern "C" int hdx_mailbox_action(const char* const* fields, const std::size_t* sizes,
                                  std::size_t count, const char* policy, std::size_t policy_size,
                                  char* out, std::size_t out_size) {
  put("", out, out_size);
  try {
    std::string error;
    const auto parsed = hdx_common::parse_policy({policy, policy_size}, "policy",
                                                 {"socket", "header", "log"}, error);
    if (!parsed) {
      put(error, out, out_size);
      return -1;
    }
    hdx_common::Identity id(std::pmr::get_default_resource(), hdx_common::kNoCaps);
    read_fields(id, fields, sizes, count);
    const hdx_common::Decision d = hdx_common::decide(*parsed, hdx_common::sender_checks(id), id,
                                                      {id.relay, id.relay_authenticated});
    put(hdx_common::action_text(d) + "\t" + std::string(d.spared), out, out_size);
    return 0;
  } catch (const std::bad_alloc&) {
    return -2;
  }
}
