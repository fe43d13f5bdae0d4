// What a host author would write in twenty lines instead of calling hdx: the references that
// hdx is measured against, beside the third-party peers.
#ifndef HDX_BENCH_REFERENCES_H
#define HDX_BENCH_REFERENCES_H

#include <cstddef>

namespace hdx_bench {

// Unfolding by memchr for each LF, each kept segment moved once with memmove. Leaves whatever
// bytes happen to be past the new end.
std::size_t unfold_memchr(char* buf, std::size_t len);
// Unfolding one byte at a time with a read and a write index.
std::size_t unfold_naive(char* buf, std::size_t len);
// The address of a MAIL FROM / RCPT TO path: memchr for ":", a source route skipped, quoted
// strings honoured, up to ">" or a space, "@" required. Returns false when there is none.
bool smtp_path_scan(const char* buf, std::size_t len, char* out, std::size_t out_size);

}  // namespace hdx_bench

#endif  // HDX_BENCH_REFERENCES_H
