// In-place header unfolding, shared by the exported entry point and the field extractors.
#ifndef HDX_SCAN_UNFOLD_H
#define HDX_SCAN_UNFOLD_H

#include <cstdint>

namespace hdx::detail {

// Takes out every line terminator that a blank follows and returns the new length. The bytes
// from the new length to len end up exactly as the fold-by-fold moves would leave them.
std::uint32_t unfold(std::uint8_t* buf, std::uint32_t len) noexcept;

}  // namespace hdx::detail

#endif  // HDX_SCAN_UNFOLD_H
