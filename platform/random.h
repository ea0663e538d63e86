#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace quilvane::platform {

// Fills `out` from the system's cryptographic random source (getrandom or
// /dev/urandom; BCryptGenRandom on Windows). Names made from it cannot be
// guessed by another local user. Throws SystemError when the source fails.
void RandomBytes(std::span<std::uint8_t> out);

// 16 lowercase hex digits from RandomBytes: the tag of a temporary file's
// name.
std::string RandomTag();

}  // namespace quilvane::platform
