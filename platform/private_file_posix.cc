// A file for secrets: created exclusively with mode 0600, never followed
// through a symbolic link, never replacing what is there.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>

#include "platform/private_file.h"

namespace quilvane::platform {

void CreatePrivateFile(const std::string& path, std::string_view bytes) {
  int fd;
  do {
    fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    if (errno == EEXIST) throw FileExistsError(path + ": already exists");
    throw MakeSystemError(path, errno);
  }
  // The umask can only take bits away; fchmod makes the mode exact.
  int error = ::fchmod(fd, 0600) == 0 ? 0 : errno;
  size_t done = 0;
  while (error == 0 && done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
    } else if (n < 0 && errno != EINTR) {
      error = errno;
    }
  }
  if (error == 0 && ::fsync(fd) != 0) error = errno;
  if (::close(fd) != 0 && error == 0 && errno != EINTR) error = errno;
  if (error != 0) {
    ::unlink(path.c_str());
    throw MakeSystemError(path, error);
  }
}

std::string ReadPrivateFile(const std::string& path, std::size_t max_size) {
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) throw MakeSystemError(path, errno);
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    const int code = errno;
    ::close(fd);
    throw MakeSystemError(path, code);
  }
  if (!S_ISREG(st.st_mode)) {
    ::close(fd);
    throw MakeSystemError(path, S_ISDIR(st.st_mode) ? EISDIR : EINVAL);
  }
  if ((st.st_mode & 077) != 0) {
    ::close(fd);
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    throw ExposedFileError(path + ": legível por outros além do dono (modo " + mode +
                           "); deixe-o só para o dono: chmod 600 " + path);
  }
  std::string bytes(max_size + 1, '\0');
  size_t size = 0;
  int error = 0;
  while (size < bytes.size()) {
    const ssize_t n = ::read(fd, bytes.data() + size, bytes.size() - size);
    if (n > 0) {
      size += static_cast<size_t>(n);
    } else if (n == 0) {
      break;
    } else if (errno != EINTR) {
      error = errno;
      break;
    }
  }
  ::close(fd);
  if (error != 0) throw MakeSystemError(path, error);
  bytes.resize(size);
  return bytes;
}

bool ReadableByEveryLocalUser(const std::string& path) {
  char real[PATH_MAX];
  if (::realpath(path.c_str(), real) == nullptr) throw MakeSystemError(path, errno);
  std::string at = real;
  struct stat st;
  if (::stat(at.c_str(), &st) != 0) throw MakeSystemError(path, errno);
  if ((st.st_mode & S_IROTH) == 0) return false;
  // Others reach the file only through folders they may pass.
  while (at != "/") {
    const size_t slash = at.find_last_of('/');
    at.erase(slash == 0 ? 1 : slash);
    if (::stat(at.c_str(), &st) != 0) throw MakeSystemError(at, errno);
    if ((st.st_mode & S_IXOTH) == 0) return false;
  }
  return true;
}

}  // namespace quilvane::platform
