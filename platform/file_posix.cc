#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/error.h"
#include "platform/file.h"

namespace quilvane::platform {

std::string SystemMessage(int code) { return std::strerror(code); }

SystemError MakeSystemError(const std::string& context, int code) {
  return SystemError(context + ": " + SystemMessage(code), code);
}

char PathSeparator() { return '/'; }

std::string ExecutableDir() {
  std::vector<char> buf(4096);
  const ssize_t n = readlink("/proc/self/exe", buf.data(), buf.size() - 1);
  if (n <= 0) throw MakeSystemError("/proc/self/exe", errno);
  std::string path(buf.data(), static_cast<size_t>(n));
  return path.substr(0, path.rfind('/') + 1);
}

File::File(const std::string& path, Mode mode) : path_(path) {
  int flags = O_CLOEXEC;
  switch (mode) {
    case Mode::kRead:
      flags |= O_RDONLY;
      break;
    case Mode::kCreate:
      flags |= O_WRONLY | O_CREAT | O_TRUNC;
      break;
    case Mode::kReadWrite:
      flags |= O_RDWR;
      break;
    case Mode::kAppend:
      flags |= O_WRONLY | O_CREAT | O_APPEND;
      break;
    case Mode::kCreateNew:
      flags |= O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW;
      break;
  }
  const mode_t create_mode = mode == Mode::kCreateNew ? 0600 : 0644;
  do {
    fd_ = ::open(path.c_str(), flags, create_mode);
  } while (fd_ < 0 && errno == EINTR);
  if (fd_ < 0) {
    if (mode == Mode::kCreateNew && errno == EEXIST)
      throw FileExistsError(path + ": already exists");
    throw MakeSystemError(path, errno);
  }
}

File::File(File&& other) noexcept : fd_(other.fd_), path_(std::move(other.path_)) {
  other.fd_ = -1;
}

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = other.fd_;
    path_ = std::move(other.path_);
    other.fd_ = -1;
  }
  return *this;
}

File::~File() {
  if (fd_ >= 0) ::close(fd_);
}

size_t File::Read(std::span<std::uint8_t> out) {
  while (true) {
    const ssize_t n = ::read(fd_, out.data(), out.size());
    if (n >= 0) return static_cast<size_t>(n);
    if (errno != EINTR) throw MakeSystemError(path_, errno);
  }
}

void File::Write(std::span<const std::uint8_t> bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw MakeSystemError(path_, errno);
    }
    done += static_cast<size_t>(n);
  }
}

void File::Seek(std::int64_t offset) {
  if (::lseek(fd_, offset, SEEK_SET) < 0) throw MakeSystemError(path_, errno);
}

std::int64_t File::Size() const {
  struct stat st {};
  if (::fstat(fd_, &st) != 0) throw MakeSystemError(path_, errno);
  return st.st_size;
}

void File::Truncate(std::int64_t size) {
  if (::ftruncate(fd_, size) != 0) throw MakeSystemError(path_, errno);
}

void File::Sync() {
  if (::fsync(fd_) != 0) throw MakeSystemError(path_, errno);
}

void File::Close() {
  if (fd_ < 0) return;
  const int fd = fd_;
  fd_ = -1;
  if (::close(fd) != 0 && errno != EINTR) throw MakeSystemError(path_, errno);
}

bool FileExists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

bool NothingAt(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) != 0 && (errno == ENOENT || errno == ENOTDIR);
}

bool DirectoryExists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

FileInfo GetFileInfo(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) throw MakeSystemError(path, errno);
  FileInfo info;
  info.size = st.st_size;
  tm local{};
  const time_t t = st.st_mtim.tv_sec;
  localtime_r(&t, &local);
  info.last_write = *TryEncodeDate(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday) +
                    EncodeTime(local.tm_hour, local.tm_min, local.tm_sec, 0);
  if (S_ISDIR(st.st_mode)) {
    info.attributes = kAttrDirectory;
  } else {
    info.attributes = kAttrArchive;
  }
  if ((st.st_mode & S_IWUSR) == 0) info.attributes |= kAttrReadOnly;
  const auto slash = path.rfind('/');
  const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
  if (!base.empty() && base[0] == '.' && base != "." && base != "..") {
    info.attributes |= kAttrHidden;
  }
  return info;
}

bool DeleteFile(const std::string& path) {
  if (::unlink(path.c_str()) == 0) return true;
  if (errno == ENOENT) return false;
  throw MakeSystemError(path, errno);
}

void RenameFile(const std::string& from, const std::string& to) {
  if (::rename(from.c_str(), to.c_str()) != 0) throw MakeSystemError(to, errno);
}

void SetFileTime(const std::string& path, DateTime local) {
  const CivilDate d = DecodeDate(local);
  const CivilTime t = DecodeTime(local);
  tm parts{};
  parts.tm_year = d.year - 1900;
  parts.tm_mon = d.month - 1;
  parts.tm_mday = d.day;
  parts.tm_hour = t.hour;
  parts.tm_min = t.minute;
  parts.tm_sec = t.second;
  parts.tm_isdst = -1;
  const time_t when = mktime(&parts);
  timespec times[2] = {{when, 0}, {when, 0}};
  if (::utimensat(AT_FDCWD, path.c_str(), times, 0) != 0) throw MakeSystemError(path, errno);
}

void SetFileAttributes(const std::string& path, std::uint32_t attributes) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) throw MakeSystemError(path, errno);
  mode_t mode = st.st_mode & 07777;
  if (attributes & kAttrReadOnly) {
    mode &= static_cast<mode_t>(~(S_IWUSR | S_IWGRP | S_IWOTH));
  } else {
    mode |= S_IWUSR;
  }
  if (::chmod(path.c_str(), mode) != 0) throw MakeSystemError(path, errno);
}

void CreateDirectories(const std::string& path) {
  std::string partial;
  for (size_t i = 0; i <= path.size(); ++i) {
    if (i == path.size() || path[i] == '/') {
      if (!partial.empty() && !DirectoryExists(partial)) {
        if (::mkdir(partial.c_str(), 0755) != 0 && errno != EEXIST) {
          throw MakeSystemError(partial, errno);
        }
      }
    }
    if (i < path.size()) partial += path[i];
  }
}

}  // namespace quilvane::platform
