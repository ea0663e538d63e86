#pragma once

#include <cstddef>
#include <memory>

namespace quilvane::platform {

// Memory for buffers of megabytes that are filled once and kept. On Linux a
// block is aligned to 2 MB and offered to the kernel for huge pages, so that
// filling it faults once instead of 512 times (a fault costs microseconds,
// over ten on a virtual machine); elsewhere it is plain memory.
inline constexpr std::size_t kLargeBlockBytes = std::size_t{2} << 20;

struct LargeBlockDeleter {
  std::size_t size = 0;
  void operator()(char* block) const;
};
using LargeBlock = std::unique_ptr<char[], LargeBlockDeleter>;

// At least `size` bytes, a whole number of kLargeBlockBytes, uninitialized.
// Throws std::bad_alloc when the system has no memory for it.
LargeBlock AllocateLargeBlock(std::size_t size);

}  // namespace quilvane::platform
