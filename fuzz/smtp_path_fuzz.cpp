// HDXExtractEmailAddrFromReverseOrForwardPath: the command is only read, and an address is a
// zero-terminated copy, cut to outSize, of bytes that follow the command's first colon and hold
// an "@", as the general path writes it. The first byte picks outSize.
#include <string_view>

#include "general_path.h"
#include "hdx.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::uint32_t out_size = 1 + data[0] % 40;
  hdx_fuzz::ExactBuffer cmd(data + 1, size - 1);
  hdx_fuzz::ExactBuffer out(out_size, '#');
  const std::string before = cmd.str();
  const std::int32_t rc =
      HDXExtractEmailAddrFromReverseOrForwardPath(cmd.data(), cmd.len(), out.data(), out_size);
  hdx_fuzz::check(cmd.str() == before);
  hdx_fuzz::ExactBuffer general_out(out_size, '#');
  const auto extract = hdx_fuzz::general(&HDXExtractEmailAddrFromReverseOrForwardPath,
                                         "HDXExtractEmailAddrFromReverseOrForwardPath");
  hdx_fuzz::check(extract(cmd.data(), cmd.len(), general_out.data(), out_size) == rc &&
                  general_out.str() == out.str());
  if (rc == -1) {
    hdx_fuzz::check(out.data()[0] == '#');
    return 0;
  }
  hdx_fuzz::check(rc == 0);
  const void* zero = std::memchr(out.data(), '\0', out_size);
  hdx_fuzz::check(zero != nullptr);
  const std::string_view text(out.data(), static_cast<const char*>(zero) - out.data());
  const std::size_t colon = before.find(':');
  hdx_fuzz::check(colon != std::string::npos && before.find(':') <= before.find(text, colon + 1));
  hdx_fuzz::check(before.find('@', colon) != std::string::npos);
  return 0;
}
