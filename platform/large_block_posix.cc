#include "platform/large_block.h"

#include <sys/mman.h>

#include <cstdint>
#include <new>

namespace quilvane::platform {

LargeBlock AllocateLargeBlock(std::size_t size) {
  if (size > SIZE_MAX - 2 * kLargeBlockBytes) throw std::bad_alloc();
  size = (size + kLargeBlockBytes - 1) / kLargeBlockBytes * kLargeBlockBytes;
  if (size == 0) size = kLargeBlockBytes;
  // Mapped with room to spare, then trimmed to an aligned block: the kernel
  // backs only an aligned 2 MB range with a huge page.
  const std::size_t mapped = size + kLargeBlockBytes;
  void* p = mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) throw std::bad_alloc();
  const auto start = reinterpret_cast<std::uintptr_t>(p);
  const std::uintptr_t aligned = (start + kLargeBlockBytes - 1) & ~(kLargeBlockBytes - 1);
  if (aligned > start) munmap(p, aligned - start);
  const std::size_t tail = start + mapped - (aligned + size);
  if (tail > 0) munmap(reinterpret_cast<void*>(aligned + size), tail);
  char* block = reinterpret_cast<char*>(aligned);
#ifdef MADV_HUGEPAGE
  madvise(block, size, MADV_HUGEPAGE);  // only advice: small pages serve as well
#endif
  return LargeBlock(block, LargeBlockDeleter{size});
}

void LargeBlockDeleter::operator()(char* block) const { munmap(block, size); }

}  // namespace quilvane::platform
