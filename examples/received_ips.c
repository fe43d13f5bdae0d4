/* A small host: reads a file of Received fields (folded or not, LF or CR LF), hands each whole
 * field to libhdx and prints the sending host's address, or "-" when there is none.
 * Usage: received_ips FILE */
#include <stdio.h>
#include <stdlib.h>

#include "hdx.h"

static char* read_file(const char* path, uint32_t* len) {
  FILE* f = fopen(path, "rb");
  if (f == NULL) return NULL;
  size_t cap = 1 << 16, n = 0, got;
  char* buf = malloc(cap);
  while (buf != NULL && (got = fread(buf + n, 1, cap - n, f)) > 0) {
    n += got;
    if (n == cap) {
      char* grown = realloc(buf, cap *= 2);
      if (grown == NULL) free(buf);
      buf = grown;
    }
  }
  fclose(f);
  *len = (uint32_t)n;
  return buf;
}

/* Length of the field starting at p: its first line and every continuation line after it. */
static uint32_t field_length(const char* p, uint32_t left) {
  uint32_t len = 0, line_len, eol_len;
  while (len < left && HDXFindEmailLineEnd(p + len, left - len, &line_len, &eol_len) == HDX_OK) {
    len += line_len;
    if (len == left || (p[len] != ' ' && p[len] != '\t')) return len;
  }
  return left;
}

int main(int argc, char** argv) {
  uint32_t size = 0;
  char* text = argc == 2 ? read_file(argv[1], &size) : NULL;
  if (text == NULL) {
    fprintf(stderr, "usage: received_ips FILE (a readable file of Received fields)\n");
    return 2;
  }
  for (uint32_t at = 0; at < size;) {
    const uint32_t len = field_length(text + at, size - at);
    char* ip = NULL;
    uint32_t ip_len = 0;
    if (len > 2) { /* skip blank lines */
      if (HDXExtractSenderIPFromRcvdHdrField(text + at, len, &ip, &ip_len) == HDX_OK)
        printf("%.*s\n", (int)ip_len, ip);
      else
        printf("-\n");
    }
    at += len;
  }
  free(text);
  return 0;
}
