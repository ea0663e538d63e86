#include "tests/support/temp_dir.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace quilvane::testing {

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/quilvane-test-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern + "/";
}

TempDir::~TempDir() {
  std::error_code ec;
  // Read-only files must not keep their folder alive.
  for (auto& e : std::filesystem::recursive_directory_iterator(path_, ec)) {
    std::filesystem::permissions(e.path(), std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ec);
  }
  std::filesystem::remove_all(path_, ec);
}

void TempDir::Write(const std::string& name, const std::string& bytes) const {
  std::ofstream out(path_ + name, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path_ + name);
}

std::string TempDir::Read(const std::string& name) const {
  std::ifstream in(path_ + name, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path_ + name);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

}  // namespace quilvane::testing
