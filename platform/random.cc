#include "platform/random.h"

#include <array>

namespace quilvane::platform {

std::string RandomTag() {
  std::array<std::uint8_t, 8> bytes{};
  RandomBytes(bytes);
  constexpr char kHex[] = "0123456789abcdef";
  std::string tag;
  for (const std::uint8_t b : bytes) {
    tag += kHex[b >> 4];
    tag += kHex[b & 0x0F];
  }
  return tag;
}

}  // namespace quilvane::platform
