// HDXExtractSenderIPFromRcvdHdrField: the sending host's address as the receiving server
// recorded it in "from name (name [address])".
#include "extract/field.h"
#include "hdx.h"
#include "host/host.h"
#include "scan/unfold.h"

namespace hdx::detail {
namespace {

// "Received:" is taken as read, whatever the bytes say: callers pass only Received fields.
constexpr std::uint32_t kNameLen = 9;

// Returns the address text inside `content`, or {nullptr, nullptr}. Only the first parenthesised
// group after the host name is searched: servers put the peer's address there, and a later group
// is free text that anyone upstream could have written.
Bytes find_sender_ip(Bytes content) noexcept {
  constexpr Bytes kNone{nullptr, nullptr};
  const std::uint8_t* const end = content.end;
  if (content.size() <= kNameLen) return kNone;
  const std::uint8_t* p = skip_blanks(content.p + kNameLen, end);
  // Four bytes of "from" and at least one after them.
  if (end - p < 5 || T_memcmp(p, "from", 4) != 0) return kNone;
  p = skip_blanks(p + 4, end);
  if (p < end && *p != '(') {  // the announced host name comes first
    p = find_any<true>(p, end, ' ', '\t', '(');
    if (p == nullptr) return kNone;
    p = skip_blanks(p, end);
  }
  if (p == end || *p != '(') return kNone;
  p = find_any<true>(p, end, '[', ')');
  if (p == nullptr || *p == ')') return kNone;
  p = skip_blanks(p + 1, end);
  if (p == end) return kNone;
  const std::uint8_t* const start = p;
  if (*p == ']' || *p == ')') return {start, start};
  // An address that runs to the end was cut off.
  p = find_any<true>(p, end, ']', ')', ' ', '\t');
  if (p == nullptr) return kNone;
  return {start, p};
}

}  // namespace
}  // namespace hdx::detail

extern "C" HDX_EXPORT std::int32_t HDXExtractSenderIPFromRcvdHdrField(char* field,
                                                                      std::uint32_t fieldLen,
                                                                      char** ipStart,
                                                                      std::uint32_t* ipLen) {
  using namespace hdx::detail;
  if (field == nullptr || ipStart == nullptr || ipLen == nullptr) return HDX_FAIL;
  auto* bytes = reinterpret_cast<std::uint8_t*>(field);
  const Bytes ip = find_sender_ip(field_content(bytes, unfold(bytes, fieldLen)));
  if (ip.p == nullptr) return HDX_FAIL;
  *ipStart = field + (ip.p - bytes);
  *ipLen = ip.size();
  return HDX_OK;
}
