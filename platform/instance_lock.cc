// The lock file's content, the same on every host.
#include <charconv>

#include "platform/file.h"
#include "platform/instance_lock.h"

namespace quilvane::platform {
namespace {

constexpr std::size_t kMaxWhat = 64;

}  // namespace

InstanceLock::InstanceLock(InstanceLock&& other) noexcept : handle_(other.handle_) {
  other.handle_ = -1;
}

InstanceLock& InstanceLock::operator=(InstanceLock&& other) noexcept {
  if (this != &other) {
    Release();
    handle_ = other.handle_;
    other.handle_ = -1;
  }
  return *this;
}

InstanceLock::~InstanceLock() { Release(); }

std::string FormatLockHolder(const LockHolder& holder) {
  return std::to_string(holder.pid) + " " + holder.what.substr(0, kMaxWhat) + "\n";
}

std::optional<LockHolder> ParseLockHolder(std::string_view content) {
  content = content.substr(0, kMaxLockFileBytes);
  const std::size_t blank = content.find(' ');
  if (blank == std::string_view::npos || blank == 0 || blank > 10) return std::nullopt;
  LockHolder holder;
  const char* first = content.data();
  const auto [end, ec] = std::from_chars(first, first + blank, holder.pid);
  if (ec != std::errc() || end != first + blank || holder.pid == 0 || holder.pid > 0xFFFFFFFFul) {
    return std::nullopt;
  }
  std::string_view what = content.substr(blank + 1);
  const std::size_t eol = what.find_first_of("\r\n");
  if (eol == std::string_view::npos) return std::nullopt;  // cut while written
  what = what.substr(0, eol);
  if (what.empty() || what.size() > kMaxWhat) return std::nullopt;
  for (const char c : what) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7F) return std::nullopt;
  }
  holder.what = std::string(what);
  return holder;
}

std::optional<LockHolder> ReadLockHolder(const std::string& path) {
  try {
    File f(path, File::Mode::kRead);
    char buf[kMaxLockFileBytes];
    std::size_t got = 0;
    while (got < sizeof buf) {
      const std::size_t n = f.Read(std::span<char>(buf + got, sizeof buf - got));
      if (n == 0) break;
      got += n;
    }
    return ParseLockHolder(std::string_view(buf, got));
  } catch (const Error&) {
    return std::nullopt;
  }
}

}  // namespace quilvane::platform
