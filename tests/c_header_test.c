/* Compiled as C: the public header must be plain C, and a C host passes its buffers without casts. */
#include "hdx.h"

int hdx_c_host_finds_ip(void) {
  char field[] = "Received: from a\r\n (b [192.0.2.1])\r\n";
  char* ip = 0;
  uint32_t ip_len = 0;
  uint32_t line_len = 0, eol_len = 0;
  if (HDXFindEmailLineEnd(field, sizeof field - 1, &line_len, &eol_len) != HDX_OK) return 0;
  if (HDXExtractSenderIPFromRcvdHdrField(field, sizeof field - 1, &ip, &ip_len) != HDX_OK) return 0;
  return ip_len == 9 && ip[0] == '1' && line_len == 18 && eol_len == 2;
}

int hdx_c_host_reads_addresses(void) {
  char from[] = "From: Ab <ab@cd>\r\n";
  char path[] = "MAIL FROM:<ef@gh>";
  char out[32], date[40];
  const char* match = 0;
  uint32_t match_len = 0, token_len = 0;
  if (HDXExtractSenderEmailAddrFromFromHdrField(from, sizeof from - 1, out, sizeof out) != HDX_OK ||
      out[0] != 'a')
    return 0;
  if (HDXExtractEmailAddrFromReverseOrForwardPath(path, sizeof path - 1, out, sizeof out) != HDX_OK ||
      out[0] != 'e')
    return 0;
  if (HDXSearchPattern(path, sizeof path - 1, "<", 1, &match, &match_len) != HDX_OK) return 0;
  if (HDXFindEmailQuotedStringEnd("\"x\"", "\"x\"" + 2, &token_len) != HDX_OK) return 0;
  return HDXEmailGetCurrDateTime(date, sizeof date) == HDX_OK && match == path + 10;
}
