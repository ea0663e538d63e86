#include <dirent.h>

#include <cerrno>
#include <cstring>

#include "platform/directory.h"
#include "platform/error.h"

namespace quilvane::platform {

std::vector<std::string> ListDirectory(const std::string& path) {
  const std::string folder = path.empty() ? "." : path;
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) throw MakeSystemError(folder, errno);
  std::vector<std::string> names;
  errno = 0;
  while (const dirent* entry = ::readdir(dir)) {
    if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
      names.emplace_back(entry->d_name);
    }
    errno = 0;
  }
  const int error = errno;
  ::closedir(dir);
  if (error != 0) throw MakeSystemError(folder, error);
  return names;
}

}  // namespace quilvane::platform
