// File helpers that need nothing of the system beyond File.
#include <span>

#include "platform/file.h"

namespace quilvane::platform {

std::string ReadFileToString(const std::string& path) {
  File f(path, File::Mode::kRead);
  std::string out;
  char buf[65536];
  while (true) {
    const size_t n = f.Read(std::span<char>(buf, sizeof buf));
    if (n == 0) break;
    out.append(buf, n);
  }
  return out;
}

}  // namespace quilvane::platform
