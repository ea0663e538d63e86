// libFuzzer target: arbitrary bytes saved as an archive, opened and every
// member extracted. Any crash, leak, hang or sanitizer report is a fault;
// the archiver's own failures are expected outcomes.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>

#include "archive/compactar.h"
#include "archive/zip_archiver.h"

namespace {

const std::string& WorkDir() {
  static const std::string dir = [] {
    const char* base = std::getenv("TMPDIR");
    std::string d = std::string(base && *base ? base : "/tmp") + "/quilvane-fuzz-" +
                    std::to_string(::getpid()) + "/";
    std::filesystem::create_directories(d + "out");
    return d;
  }();
  return dir;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size) {
  using namespace quilvane::archive;
  const std::string& dir = WorkDir();
  const std::string zip = dir + "input.zip";
  {
    std::ofstream out(zip, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  }
  // The last byte picks the exchange password or none, so both the
  // decrypting path and the empty-password failure run.
  TZipArchiver archiver;
  archiver.Password = (size > 0 && data[size - 1] & 1) ? kArchivePassword : "";
  archiver.FileName = zip;
  archiver.FlushBuffers = false;
  try {
    archiver.OpenArchive(OpenMode::kRead);
    archiver.BaseDir = dir + "out";
    for (size_t i = 0; i < archiver.items().size(); ++i) {
      try {
        archiver.ExtractItem(i);
      } catch (const quilvane::platform::Error&) {
      }
    }
  } catch (const quilvane::platform::Error&) {
  }
  archiver.CloseArchive();
  std::error_code ec;
  std::filesystem::remove_all(dir + "out", ec);
  std::filesystem::create_directories(dir + "out", ec);
  return 0;
}
