// Large blocks: whole 2 MB units, every byte writable, and on Linux aligned
// so that the kernel can back them with huge pages.
#include "platform/large_block.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <new>

namespace quilvane::platform {
namespace {

TEST(LargeBlockTest, WholeUnitsEveryByteWritable) {
  const struct {
    std::size_t asked, given;
  } cases[] = {
      {0, kLargeBlockBytes},
      {1, kLargeBlockBytes},
      {kLargeBlockBytes, kLargeBlockBytes},
      {kLargeBlockBytes + 1, 2 * kLargeBlockBytes},
  };
  for (const auto& c : cases) {
    LargeBlock block = AllocateLargeBlock(c.asked);
    ASSERT_NE(block.get(), nullptr) << c.asked;
    EXPECT_EQ(block.get_deleter().size, c.given) << c.asked;
    std::memset(block.get(), 0x5a, c.given);
    EXPECT_EQ(block[c.given - 1], 0x5a);
#ifndef _WIN32
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(block.get()) % kLargeBlockBytes, 0u) << c.asked;
#endif
  }
}

TEST(LargeBlockTest, ImpossibleSizeIsBadAlloc) {
  EXPECT_THROW(AllocateLargeBlock(SIZE_MAX), std::bad_alloc);
  EXPECT_THROW(AllocateLargeBlock(SIZE_MAX - kLargeBlockBytes), std::bad_alloc);
}

}  // namespace
}  // namespace quilvane::platform
