#pragma once

#include <cstdint>
#include <string>

namespace quilvane::platform {

// A copy of a file that no other writer can change while it lives, so that
// what is checked in it is what is then used from it: created exclusively
// (never over an existing name, never through a link) in a folder under an
// unpredictable name (TemporaryName of the source's name), readable and
// writable by its owner only (mode 0600; on Windows SYSTEM, the
// Administrators and its owner, and held open without sharing writes or
// deletion). Open it for reading by path() as often as needed. The
// destructor removes it (on Windows the system also does when the process
// dies). Not copyable or movable.
class PrivateCopy {
 public:
  // Copies `source` into the folder `dir` (with its trailing separator).
  // Throws SystemError naming `source` when it cannot be read (IsNotFound
  // when it is missing), or naming the copy when it cannot be written
  // (nothing is left then).
  PrivateCopy(const std::string& source, const std::string& dir);
  PrivateCopy(const PrivateCopy&) = delete;
  PrivateCopy& operator=(const PrivateCopy&) = delete;
  ~PrivateCopy();

  const std::string& path() const { return path_; }

 private:
  std::string path_;
  // Windows: the handle that keeps other writers out; -1 on POSIX.
  std::intptr_t handle_ = -1;
};

// Removes from the folder `dir` the private copies of `name` that a process
// killed while it held one left behind (on POSIX nothing else removes
// them); other names are left alone, and so is a copy that cannot be
// removed. Call it only while holding the lock that every maker of such
// copies holds, or it takes a live one away. Never throws.
void RemoveLeftoverPrivateCopies(const std::string& dir, const std::string& name);

}  // namespace quilvane::platform
