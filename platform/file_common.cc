// File helpers that need nothing of the system beyond File's own per-host
// Read(std::span<std::uint8_t>) and Write(std::span<const std::uint8_t>).
#include <span>

#include "platform/file.h"
#include "platform/temporary_name.h"

namespace quilvane::platform {
namespace {

// The code of a file that ended before the bytes asked for: none on POSIX,
// ERROR_HANDLE_EOF on Windows.
#ifdef _WIN32
constexpr int kEndOfFileCode = 38;
#else
constexpr int kEndOfFileCode = 0;
#endif

}  // namespace

size_t File::Read(std::span<char> out) {
  return Read(std::span<std::uint8_t>(reinterpret_cast<std::uint8_t*>(out.data()), out.size()));
}

void File::ReadExact(std::span<std::uint8_t> out) {
  size_t done = 0;
  while (done < out.size()) {
    const size_t n = Read(out.subspan(done));
    if (n == 0) throw SystemError(path_ + ": unexpected end of file", kEndOfFileCode);
    done += n;
  }
}

void File::Write(std::string_view bytes) {
  Write(std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(bytes.data()),
                                      bytes.size()));
}

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
