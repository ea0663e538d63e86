#pragma once

#include <string>

namespace quilvane::testing {

// A fresh folder under $TMPDIR (or /tmp), removed with its content when the
// object goes away. path() ends with a separator.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + name; }
  void Write(const std::string& name, const std::string& bytes) const;
  std::string Read(const std::string& name) const;

 private:
  std::string path_;
};

}  // namespace quilvane::testing
