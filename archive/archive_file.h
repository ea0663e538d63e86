#pragma once

#include <cstdint>
#include <span>

#include "platform/file.h"

namespace quilvane::archive {

// An archive opened for reading, read at offsets: the directory, the
// recovery scans and the members' data all come through here.
class ArchiveFile {
 public:
  explicit ArchiveFile(platform::File file) : file_(std::move(file)), size_(file_.Size()) {}

  std::int64_t size() const { return size_; }
  // Releases the file; reads then find nothing.
  void Close() {
    file_ = platform::File();
    size_ = 0;
  }

  // Up to out.size() bytes from `offset`: fewer at the end of the file, none
  // outside it.
  size_t ReadAt(std::int64_t offset, std::span<std::uint8_t> out) {
    if (offset < 0 || offset >= size_) return 0;
    file_.Seek(offset);
    size_t got = 0;
    while (got < out.size()) {
      const size_t n = file_.Read(out.subspan(got));
      if (n == 0) break;
      got += n;
    }
    return got;
  }

 private:
  platform::File file_;
  std::int64_t size_;
};

}  // namespace quilvane::archive
