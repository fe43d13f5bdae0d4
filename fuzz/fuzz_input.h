// Fuzz input copied into a heap buffer of exactly its size, so that AddressSanitizer catches a
// read one byte past the end.
#ifndef HDX_FUZZ_INPUT_H
#define HDX_FUZZ_INPUT_H

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

namespace hdx_fuzz {

class ExactBuffer {
 public:
  ExactBuffer(const std::uint8_t* data, std::size_t size)
      : bytes_(new char[size == 0 ? 1 : size]), size_(size) {
    if (size != 0) std::memcpy(bytes_.get(), data, size);
  }
  ExactBuffer(std::size_t size, char fill) : bytes_(new char[size == 0 ? 1 : size]), size_(size) {
    std::memset(bytes_.get(), fill, size);
  }
  char* data() { return bytes_.get(); }
  std::uint32_t len() const { return static_cast<std::uint32_t>(size_); }
  std::string str() const { return std::string(bytes_.get(), size_); }

 private:
  std::unique_ptr<char[]> bytes_;
  std::size_t size_;
};

inline void check(bool ok) {
  if (!ok) __builtin_trap();
}

}  // namespace hdx_fuzz

#endif  // HDX_FUZZ_INPUT_H
