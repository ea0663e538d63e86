#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <cerrno>

#include "platform/error.h"
#include "platform/random.h"

namespace quilvane::platform {
namespace {

// For kernels older than getrandom (before 3.17).
void ReadUrandom(std::span<std::uint8_t> out) {
  int fd;
  do {
    fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) throw MakeSystemError("/dev/urandom", errno);
  size_t done = 0;
  while (done < out.size()) {
    const ssize_t n = ::read(fd, out.data() + done, out.size() - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
    } else if (n == 0 || errno != EINTR) {
      const int code = n == 0 ? EIO : errno;
      ::close(fd);
      throw MakeSystemError("/dev/urandom", code);
    }
  }
  ::close(fd);
}

}  // namespace

void RandomBytes(std::span<std::uint8_t> out) {
  size_t done = 0;
  while (done < out.size()) {
    const ssize_t n = ::getrandom(out.data() + done, out.size() - done, 0);
    if (n > 0) {
      done += static_cast<size_t>(n);
    } else if (n < 0 && errno == ENOSYS) {
      ReadUrandom(out.subspan(done));
      return;
    } else if (n < 0 && errno != EINTR) {
      throw MakeSystemError("getrandom", errno);
    }
  }
}

}  // namespace quilvane::platform
