// Milter packets as an MTA writes them, for the filter's tests.
#ifndef HDX_TESTS_MILTER_PACKETS_H
#define HDX_TESTS_MILTER_PACKETS_H

#include <cstdint>
#include <string>

namespace hdx_test {

inline std::string be32(std::uint32_t n) {
  return {static_cast<char>(n >> 24), static_cast<char>(n >> 16), static_cast<char>(n >> 8),
          static_cast<char>(n)};
}
inline std::string packet(char command, const std::string& data = {}) {
  return be32(static_cast<std::uint32_t>(data.size() + 1)) + command + data;
}
// Postfix's offer by default: version 6, every action and every step flag.
inline std::string negotiation(std::uint32_t version = 6, std::uint32_t steps = 0x1fffff) {
  return packet('O', be32(version) + be32(0x1ff) + be32(steps));
}

// A header field as an MTA hands it to a filter: its folds end in LF alone.
inline std::string with_lf_folds(std::string field) {
  for (std::size_t at; (at = field.find("\r\n")) != std::string::npos;) field.erase(at, 1);
  return field;
}

}  // namespace hdx_test

#endif  // HDX_TESTS_MILTER_PACKETS_H
