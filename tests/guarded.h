// Test input placed flush against an unreadable page, so that a read one byte outside faults.
#ifndef HDX_TESTS_GUARDED_H
#define HDX_TESTS_GUARDED_H

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstring>
#include <string>
#include <string_view>

namespace hdx_test {

class GuardedBytes {
 public:
  explicit GuardedBytes(std::string_view bytes) : size_(bytes.size()) {
    const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    const std::size_t data_pages = (size_ + page - 1) / page + 1;
    map_size_ = (data_pages + 2) * page;
    void* m = mmap(nullptr, map_size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    base_ = static_cast<char*>(m);
    mprotect(base_, page, PROT_NONE);
    mprotect(base_ + map_size_ - page, page, PROT_NONE);
    data_ = base_ + map_size_ - page - size_;
    std::memcpy(data_, bytes.data(), size_);
  }
  GuardedBytes(const GuardedBytes&) = delete;
  GuardedBytes& operator=(const GuardedBytes&) = delete;
  ~GuardedBytes() { munmap(base_, map_size_); }

  char* data() { return data_; }
  std::uint32_t len() const { return static_cast<std::uint32_t>(size_); }
  // The inclusive pair; for an empty input `last` lies below `first`, as callers pass it.
  char* first() { return data_; }
  char* last() { return data_ + size_ - 1; }
  std::string str() const { return std::string(data_, size_); }

 private:
  std::size_t size_;
  std::size_t map_size_ = 0;
  char* base_ = nullptr;
  char* data_ = nullptr;
};

}  // namespace hdx_test

#endif  // HDX_TESTS_GUARDED_H
