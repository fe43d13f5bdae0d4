/* A tiny host built against an installed hdx through pkg-config. */
#include <hdx.h>
#include <stdio.h>
#include <string.h>

int main(void) {
  char field[] = "From: Ann <ann@example.org>\r\n";
  char out[64];
  if (HDXExtractSenderEmailAddrFromFromHdrField(field, (uint32_t)strlen(field), out, sizeof out) !=
      HDX_OK)
    return 1;
  printf("%s\n", out);
  return strcmp(out, "ann@example.org") != 0;
}
