// hdx for C++17 hosts: the same functions as hdx.h, with std::string_view in and std::optional
// out. Functions that change their input in place say so in their names and take the buffer by
// non-const reference; everything else only reads. An input of 4 GiB or more gets no result and
// is left as it is. Header-only: link libhdx.so as from C.
#ifndef HDX_HPP
#define HDX_HPP

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "hdx.h"

namespace hdx {

namespace detail {
// Lengths cross to the library as 32 bits. An input of 4 GiB or more is refused whole, with no
// result and untouched: cut to what fits, a call would answer for part of it, and
// unfold_in_place would shrink the caller's string to that part.
inline bool fits32(std::size_t n) { return static_cast<std::uint64_t>(n) >> 32 == 0; }
// A length for the library: an input's once it fits, or an output buffer's room, which may be
// larger than the library can be told.
inline std::uint32_t size32(std::size_t n) {
  return fits32(n) ? static_cast<std::uint32_t>(n) : UINT32_MAX;
}
}  // namespace detail

struct LineEnd {
  std::size_t line_length;        // through the terminator
  std::size_t terminator_length;  // 1 for LF, 2 for CR LF
};

// The first line terminator of text, if it has one.
inline std::optional<LineEnd> find_line_end(std::string_view text) {
  std::uint32_t line = 0, eol = 0;
  if (!detail::fits32(text.size()) ||
      HDXFindEmailLineEnd(text.data(), detail::size32(text.size()), &line, &eol) != HDX_OK) {
    return std::nullopt;
  }
  return LineEnd{line, eol};
}

// Unfolds field in place and shrinks it to the unfolded content; false, and field untouched, for
// 4 GiB or more.
inline bool unfold_in_place(std::string& field) {
  if (!detail::fits32(field.size())) return false;
  field.resize(HDXUnfoldEmailHdrLine(field.data(), detail::size32(field.size())));
  return true;
}

struct Match {
  std::size_t offset;
  std::size_t length;
  bool partial;  // the pattern's first `length` bytes, cut off by the end of text
};

inline std::optional<Match> search(std::string_view text, std::string_view pattern) {
  if (!detail::fits32(text.size()) || !detail::fits32(pattern.size())) return std::nullopt;
  const char* at = nullptr;
  std::uint32_t len = 0;
  const std::int32_t rc = HDXSearchPattern(text.data(), detail::size32(text.size()), pattern.data(),
                                           detail::size32(pattern.size()), &at, &len);
  if (rc == HDX_FAIL) return std::nullopt;
  return Match{static_cast<std::size_t>(at - text.data()), len, rc == HDX_PARTIAL_MATCH};
}

// Whether text holds a byte other than a space (0x20).
inline bool has_non_space(std::string_view text) {
  return !text.empty() && HDXIsNotSpacePresent(text.data(), text.data() + text.size() - 1) == 1;
}

namespace detail {
using MeasureToken = std::int32_t (*)(const char*, const char*, std::uint32_t*);
inline std::optional<std::size_t> token_length(std::string_view text, MeasureToken measure) {
  std::uint32_t len = 0;
  if (text.empty() || !detail::fits32(text.size()) ||
      measure(text.data(), text.data() + text.size() - 1, &len) != HDX_OK) {
    return std::nullopt;
  }
  return len;
}
}  // namespace detail

// Length of the comment or quoted string that opens at text's first byte.
inline std::optional<std::size_t> comment_length(std::string_view text) {
  return detail::token_length(text, HDXFindEmailCommentEnd);
}
inline std::optional<std::size_t> quoted_string_length(std::string_view text) {
  return detail::token_length(text, HDXFindEmailQuotedStringEnd);
}

// The functions that give a string take any std::basic_string of char, std::string or a
// std::pmr::string over the host's own memory among them; the result has the input's allocator,
// or the one passed.

// The sender's address from a whole From or Return-Path field. Cuts the field in place (see
// hdx.h): afterwards it is no longer the field that was passed.
template <class String>
std::optional<String> sender_address_in_place(String& field) {
  if (!detail::fits32(field.size())) return std::nullopt;
  String out(field.size() + 1, '\0', field.get_allocator());  // no address outgrows its field
  if (HDXExtractSenderEmailAddrFromFromHdrField(field.data(), detail::size32(field.size()),
                                                out.data(), detail::size32(out.size())) != HDX_OK) {
    return std::nullopt;
  }
  out.resize(std::char_traits<char>::length(out.c_str()));
  return out;
}

// The sending host's address from a whole Received field, unfolded in place; the view points into
// field and lives as long as it is not changed.
template <class String>
std::optional<std::string_view> sender_ip_in_place(String& field) {
  char* ip = nullptr;
  std::uint32_t len = 0;
  if (!detail::fits32(field.size()) ||
      HDXExtractSenderIPFromRcvdHdrField(field.data(), detail::size32(field.size()), &ip, &len) !=
          HDX_OK) {
    return std::nullopt;
  }
  return std::string_view(ip, len);
}

// The mailbox address of a "MAIL FROM:" or "RCPT TO:" command; the command is only read.
template <class String = std::string>
std::optional<String> path_address(std::string_view command,
                                   const typename String::allocator_type& allocator = {}) {
  if (!detail::fits32(command.size())) return std::nullopt;
  String out(command.size() + 1, '\0', allocator);
  if (HDXExtractEmailAddrFromReverseOrForwardPath(command.data(), detail::size32(command.size()),
                                                  out.data(),
                                                  detail::size32(out.size())) != HDX_OK) {
    return std::nullopt;
  }
  out.resize(std::char_traits<char>::length(out.c_str()));
  return out;
}

// The current local date and time in mail-header form.
inline std::optional<std::string> current_date() {
  char out[64];
  if (HDXEmailGetCurrDateTime(out, sizeof out) != HDX_OK) return std::nullopt;
  return std::string(out);
}

}  // namespace hdx

#endif  // HDX_HPP
