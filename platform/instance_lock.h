#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quilvane::platform {

// Who holds an instance lock, as its file says: the process id and what it
// is doing ("serviço", "-IMPORT").
struct LockHolder {
  unsigned long pid = 0;
  std::string what;
};

// An exclusive lock on a file that one process at a time holds, kept by the
// operating system (POSIX flock, Windows LockFileEx): it goes when the
// holder closes it or dies, so a killed process never leaves it behind. The
// file's content (the holder's pid and what) only names the holder for the
// message of whoever finds it taken. Two locks of the same file in one
// process exclude each other too. Move-only; the destructor empties the file
// and releases the lock. Not thread-safe.
class InstanceLock {
 public:
  // Takes the lock of `path` without waiting, creating the file (owner-only:
  // mode 0600; on Windows SYSTEM, the Administrators and its owner) when it
  // is missing, never through a symbolic link. nullopt when another holds
  // it. Throws SystemError when the file cannot be opened or locked.
  static std::optional<InstanceLock> TryTake(const std::string& path, std::string_view what);

  InstanceLock(InstanceLock&& other) noexcept;
  InstanceLock& operator=(InstanceLock&& other) noexcept;
  InstanceLock(const InstanceLock&) = delete;
  InstanceLock& operator=(const InstanceLock&) = delete;
  ~InstanceLock();

 private:
  explicit InstanceLock(std::intptr_t handle) : handle_(handle) {}
  void Release() noexcept;

  // A file descriptor on POSIX, a HANDLE on Windows; -1 when released.
  std::intptr_t handle_ = -1;
};

// The holder the lock file `path` names; nullopt when it names none (free,
// just taken and not written yet, unreadable or damaged). Never throws.
std::optional<LockHolder> ReadLockHolder(const std::string& path);

// The lock file's content for `holder`, and its reading back: "<pid>
// <what>" on one line. ParseLockHolder takes at most kMaxLockFileBytes and
// refuses a pid that is not 1 to 10 digits within range, or a `what` that is
// empty, longer than 64 bytes or holds control characters.
constexpr std::size_t kMaxLockFileBytes = 128;
std::string FormatLockHolder(const LockHolder& holder);
std::optional<LockHolder> ParseLockHolder(std::string_view content);

}  // namespace quilvane::platform
