// Moving bytes inside the library: short moves with plain loads and stores, long ones through
// the host's T_memcpy.
#ifndef HDX_SCAN_MOVE_H
#define HDX_SCAN_MOVE_H

#include <cstdint>

#include "host/host.h"

namespace hdx::detail {

// Up to this many bytes a move costs less inline than a call into the host.
inline constexpr std::uint32_t kShortMove = 128;

// A move of n bytes, sizeof(T) <= n <= kShortMove, in pieces of type T, the last one loaded
// first; see move_down.
template <class T>
inline void move_in_pieces(std::uint8_t* dst, const std::uint8_t* src, std::uint32_t n) noexcept {
  T tail, piece;
  __builtin_memcpy(&tail, src + n - sizeof(T), sizeof(T));
  for (std::uint32_t i = 0; i + sizeof(T) < n; i += sizeof(T)) {
    __builtin_memcpy(&piece, src + i, sizeof(T));
    __builtin_memcpy(dst + i, &piece, sizeof(T));
  }
  __builtin_memcpy(dst + n - sizeof(T), &tail, sizeof(T));
}

// Moves n bytes from src to dst, where dst lies below src or the two ranges do not meet; the
// result is that of a front-to-back byte copy. Reads stay inside [src, src + n) and writes inside
// [dst, dst + n). Every load of a store's bytes comes before that store: the last (possibly
// overlapping) piece is loaded first, and each forward piece lies wholly above every earlier
// store, because dst < src.
inline void move_down(std::uint8_t* dst, const std::uint8_t* src, std::uint32_t n) noexcept {
  if (n > kShortMove) {
    T_memcpy(dst, src, n);
    return;
  }
  // A 16-byte vector: SSE2 moves on x86-64, plain word moves where there is no vector unit.
  using Chunk [[gnu::vector_size(16)]] = std::uint8_t;
  if (n >= 16) move_in_pieces<Chunk>(dst, src, n);
  else if (n >= 8) move_in_pieces<std::uint64_t>(dst, src, n);
  else if (n >= 4) move_in_pieces<std::uint32_t>(dst, src, n);
  else if (n >= 2) move_in_pieces<std::uint16_t>(dst, src, n);
  else if (n == 1) *dst = *src;
}

// Moves n bytes from src down to dst, dst < src, in whole pieces of kWholePiece bytes from the
// front: it reads and writes up to kWholePiece - 1 bytes past the n, for a caller that owns those
// bytes and has no use for what lands there. Each piece is loaded before its store, which lies
// below the next piece.
inline constexpr std::uint32_t kWholePiece = 16;
inline void move_down_whole_pieces(std::uint8_t* dst, const std::uint8_t* src,
                                   std::uint32_t n) noexcept {
  using Chunk [[gnu::vector_size(kWholePiece)]] = std::uint8_t;
  Chunk piece;
  for (std::uint32_t i = 0; i < n; i += kWholePiece) {
    __builtin_memcpy(&piece, src + i, kWholePiece);
    __builtin_memcpy(dst + i, &piece, kWholePiece);
  }
}

// Moves n bytes from src to dst, where dst lies above src and the ranges may overlap: the result
// of a back-to-front byte copy. T_memcpy promises no such move, so it is always done here, from
// the top down, the lowest piece loaded first.
inline void move_up(std::uint8_t* dst, const std::uint8_t* src, std::uint32_t n) noexcept {
  constexpr std::uint32_t kSize = 16;
  using Chunk [[gnu::vector_size(kSize)]] = std::uint8_t;
  if (n < kSize) {
    for (std::uint32_t i = n; i-- > 0;) dst[i] = src[i];
    return;
  }
  Chunk head, piece;
  __builtin_memcpy(&head, src, kSize);
  for (std::uint32_t i = n; i > kSize; i -= kSize) {
    __builtin_memcpy(&piece, src + i - kSize, kSize);
    __builtin_memcpy(dst + i - kSize, &piece, kSize);
  }
  __builtin_memcpy(dst, &head, kSize);
}

}  // namespace hdx::detail

#endif  // HDX_SCAN_MOVE_H
