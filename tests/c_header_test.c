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
