#include "platform/large_block.h"

#include <cstdint>
#include <new>

namespace quilvane::platform {

// Large pages on Windows need a privilege the service does not hold: plain
// memory, which the system commits page by page as it is written.
LargeBlock AllocateLargeBlock(std::size_t size) {
  if (size > SIZE_MAX - kLargeBlockBytes) throw std::bad_alloc();
  size = (size + kLargeBlockBytes - 1) / kLargeBlockBytes * kLargeBlockBytes;
  if (size == 0) size = kLargeBlockBytes;
  return LargeBlock(new char[size], LargeBlockDeleter{size});
}

void LargeBlockDeleter::operator()(char* block) const { delete[] block; }

}  // namespace quilvane::platform
