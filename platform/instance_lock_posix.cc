// flock(2): held by the open file description, so the process's other opens
// of the file (reading who holds it) never release it, unlike fcntl locks.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/error.h"
#include "platform/instance_lock.h"
#include "platform/process.h"

namespace quilvane::platform {

std::optional<InstanceLock> InstanceLock::TryTake(const std::string& path, std::string_view what) {
  int fd;
  do {
    // Owner-only: whoever may open it may lock it, and so stop every cycle.
    fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) throw MakeSystemError(path, errno);
  int rc;
  do {
    rc = ::flock(fd, LOCK_EX | LOCK_NB);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) {
    const int error = errno;
    ::close(fd);
    if (error == EWOULDBLOCK) return std::nullopt;
    throw MakeSystemError(path, error);
  }
  InstanceLock lock(fd);
  // Who holds it is only for the message of the next one: a failure to say
  // so does not give the lock up.
  const std::string content = FormatLockHolder({CurrentProcessId(), std::string(what)});
  if (::ftruncate(fd, 0) == 0) {
    [[maybe_unused]] const ssize_t n = ::pwrite(fd, content.data(), content.size(), 0);
  }
  return lock;
}

void InstanceLock::Release() noexcept {
  if (handle_ < 0) return;
  const int fd = static_cast<int>(handle_);
  handle_ = -1;
  // Emptied first: the file stays (removing it would let a later process
  // lock a new file while another waits on the old one).
  [[maybe_unused]] const int rc = ::ftruncate(fd, 0);
  ::close(fd);
}

}  // namespace quilvane::platform
