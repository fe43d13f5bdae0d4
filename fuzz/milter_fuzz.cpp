// The filter's side of the milter protocol over whatever an MTA (or anyone who reaches its
// socket) sends: replies must be whole packets of the kinds the filter sends, and what a
// connection holds must stay within one packet, however the bytes are cut into reads.
// Input: one byte that sets the size of the reads, then the byte stream from the MTA.
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_input.h"
#include "protocol.h"

namespace {

void check_replies(std::string_view replies) {
  using hdx_fuzz::check;
  while (!replies.empty()) {
    check(replies.size() >= 5);
    std::uint32_t length = 0;
    for (int i = 0; i < 4; ++i) length = length << 8 | static_cast<unsigned char>(replies[i]);
    check(length >= 1 && replies.size() - 4 >= length);
    const char code = replies[4];
    check(code == 'O' || code == 'c' || code == 'h' || code == 'm');
    check(code != 'O' || length == 13);
    check(code != 'c' || length == 1);
    replies.remove_prefix(4 + length);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const std::size_t read_size = 1 + data[0] % 64;
  const std::string_view stream(reinterpret_cast<const char*>(data + 1), size - 1);
  const hdx_milter::Filter filter;
  hdx_milter::Session session(filter);
  std::string replies;
  for (std::size_t at = 0; at < stream.size(); at += read_size) {
    // An exact-size copy of each read, so that a read past its end is caught.
    const std::string_view piece = stream.substr(at, read_size);
    hdx_fuzz::ExactBuffer bytes(reinterpret_cast<const std::uint8_t*>(piece.data()), piece.size());
    const bool open = session.receive({bytes.data(), piece.size()}, replies);
    hdx_fuzz::check(session.held() < 4 + std::size_t{hdx_milter::kMaxPacket});
    if (!open) break;
  }
  check_replies(replies);
  return 0;
}
