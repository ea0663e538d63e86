#pragma once

#include <string>
#include <utility>

namespace quilvane::platform {

// A file that must not outlive the step that made it: the destructor deletes
// `path()` unless Keep() ran first. The file need not exist yet when this is
// made, nor at all. Deleting is quiet: a file already gone, still open
// elsewhere or not ours to delete is left as it is, since the failure being
// reported (if any) is the one that matters. Move-only; never throws.
class TemporaryFile {
 public:
  TemporaryFile() = default;
  explicit TemporaryFile(std::string path) : path_(std::move(path)) {}
  TemporaryFile(TemporaryFile&& other) noexcept;
  TemporaryFile& operator=(TemporaryFile&& other) noexcept;
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;
  ~TemporaryFile() { Remove(); }

  // Empty once kept, removed or moved from.
  const std::string& path() const { return path_; }
  // The file stays: the destructor leaves it alone.
  void Keep() noexcept { path_.clear(); }
  // Deletes the file now, quietly; the destructor then has nothing to do.
  void Remove() noexcept;

 private:
  std::string path_;
};

}  // namespace quilvane::platform
