// File helpers that need nothing of the system beyond File.
#include <span>

#include "platform/file.h"
#include "platform/temporary_name.h"

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

File CreateTemporaryBeside(const std::string& target, std::string& temp_path) {
  // A taken name is someone's plant or a one-in-2^64 clash: another draw.
  for (int attempt = 0;; ++attempt) {
    temp_path = TemporaryName(target);
    try {
      return File(temp_path, File::Mode::kCreateNew);
    } catch (const FileExistsError&) {
      if (attempt == 2) throw;
    }
  }
}

}  // namespace quilvane::platform
