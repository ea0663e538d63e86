#pragma once

// What the HTTP client's files share: the bound on a header block, and the
// text rules of header fields.
#include <cstddef>
#include <string>
#include <string_view>

#include "platform/socket.h"
#include "platform/text.h"

namespace quilvane::transfer::internal {

// Caps on what a server can make the client hold.
inline constexpr size_t kMaxHeaderBytes = 64 * 1024;

// A field's text without the blanks around it (and a line's CR).
inline std::string Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r'))
    s.remove_suffix(1);
  return std::string(s);
}

inline std::string Lower(std::string_view s) { return platform::AsciiLower(std::string(s)); }

// An endless or oversized reply fails like a stall.
[[noreturn]] inline void ThrowTooLong() { throw platform::SocketTimeoutError(); }

}  // namespace quilvane::transfer::internal
