/* Compiled as C: the public header must be plain C, and a C host passes its buffers without casts. */
#include "hdx.h"

int hdx_c_host_calls(void) {
  char rcvd[] = "Received: from a\r\n (b [192.0.2.1])\r\n", from[] = "From: Ab <ab@cd>\r\n";
  char out[40], *ip = 0;
  const char* match = 0;
  uint32_t ip_len = 0, line_len = 0, eol_len = 0, match_len = 0;
  return HDXFindEmailLineEnd(rcvd, sizeof rcvd - 1, &line_len, &eol_len) == HDX_OK &&
         HDXExtractSenderIPFromRcvdHdrField(rcvd, sizeof rcvd - 1, &ip, &ip_len) == HDX_OK &&
         ip_len == 9 && line_len == 18 && eol_len == 2 &&
         HDXExtractSenderEmailAddrFromFromHdrField(from, sizeof from - 1, out, sizeof out) == 0 &&
         HDXSearchPattern(from, sizeof from - 1, "<", 1, &match, &match_len) == HDX_OK &&
         match == from + 9 && HDXEmailGetCurrDateTime(out, sizeof out) == HDX_OK;
}
