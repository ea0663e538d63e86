#include "platform/temporary_file.h"

#include <exception>
#include <utility>

#include "platform/file.h"

namespace quilvane::platform {

TemporaryFile::TemporaryFile(TemporaryFile&& other) noexcept : path_(std::move(other.path_)) {
  other.path_.clear();
}

TemporaryFile& TemporaryFile::operator=(TemporaryFile&& other) noexcept {
  if (this != &other) {
    Remove();
    path_ = std::move(other.path_);
    other.path_.clear();
  }
  return *this;
}

void TemporaryFile::Remove() noexcept {
  if (path_.empty()) return;
  const std::string path = std::move(path_);
  path_.clear();
  try {
    DeleteFile(path);
  } catch (const std::exception&) {
    // Left where it is; see the class comment.
  }
}

}  // namespace quilvane::platform
