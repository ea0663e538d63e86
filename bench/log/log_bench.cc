// Cost of one log entry on an empty log and on a 200 MB log. The entry is
// appended, so the two should cost about the same.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "platform/env.h"
#include "platform/file.h"
#include "sync/log.h"

namespace {

double MicrosPerEntry(quilvane::sync::Log& log, int entries) {
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < entries; ++i) log.DoSaveLog("Falha ao conectar no FTP: Socket Error # 10061");
  const std::chrono::duration<double, std::micro> took = std::chrono::steady_clock::now() - start;
  return took.count() / entries;
}

}  // namespace

int main(int argc, char** argv) {
  const int entries = argc > 1 ? std::atoi(argv[1]) : 2000;
  const std::string dir = std::filesystem::temp_directory_path() / "quilvane-log-bench/";
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  quilvane::sync::Log log(dir, quilvane::platform::Env::Default());

  // Empty log: each round starts from no file.
  const double empty = MicrosPerEntry(log, entries);

  // 200 MB of earlier lines.
  {
    std::string line =
        "17/10/2023 14:05:09 - Falha na conex\xE3o do banco de dados: unavailable\r\n";
    std::string block;
    while (block.size() < (1 << 20)) block += line;
    quilvane::platform::File f(log.path(), quilvane::platform::File::Mode::kCreate);
    for (int i = 0; i < 200; ++i) f.Write(block);
    f.Close();
  }
  const auto size_mb = static_cast<double>(std::filesystem::file_size(log.path())) / 1e6;
  const double large = MicrosPerEntry(log, entries);
  std::printf(
      "log entry: %.1f us on a new log, %.1f us on a %.0f MB log (ratio %.2f), %d entries each\n",
      empty, large, size_mb, large / empty, entries);
  std::filesystem::remove_all(dir);
  return large <= 2 * empty ? 0 : 1;
}
