#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "platform/error.h"
#include "platform/file.h"
#include "platform/path.h"
#include "platform/private_copy.h"
#include "platform/temporary_name.h"

namespace quilvane::platform {
namespace {

constexpr std::size_t kBlock = 1 << 20;

// Creates a new file under a fresh name in `dir`; EEXIST (a name taken,
// however unlikely) draws another one.
int CreateExclusive(const std::string& dir, const std::string& name, std::string& path) {
  for (int attempt = 0;; ++attempt) {
    path = dir + TemporaryName(name);
    int fd;
    do {
      fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    } while (fd < 0 && errno == EINTR);
    if (fd >= 0) return fd;
    if (errno != EEXIST || attempt == 7) throw MakeSystemError(path, errno);
  }
}

void WriteAll(int fd, const char* data, std::size_t size, const std::string& path) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw MakeSystemError(path, errno);
    }
    data += n;
    size -= static_cast<std::size_t>(n);
  }
}

}  // namespace

PrivateCopy::PrivateCopy(const std::string& source, const std::string& dir) {
  File in(source, File::Mode::kRead);
  const int fd = CreateExclusive(dir, FileNameOf(source), path_);
  try {
    // The umask can only take bits away; fchmod makes the mode exact.
    if (::fchmod(fd, 0600) != 0) throw MakeSystemError(path_, errno);
    std::vector<char> block(kBlock);
    while (const std::size_t n = in.Read(std::span<char>(block))) {
      WriteAll(fd, block.data(), n, path_);
    }
  } catch (...) {
    ::close(fd);
    ::unlink(path_.c_str());
    throw;
  }
  if (::close(fd) != 0 && errno != EINTR) {
    const int error = errno;
    ::unlink(path_.c_str());
    throw MakeSystemError(path_, error);
  }
}

PrivateCopy::~PrivateCopy() { ::unlink(path_.c_str()); }

}  // namespace quilvane::platform
