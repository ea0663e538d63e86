#pragma once

#include <zlib.h>

#include <cstdint>
#include <span>
#include <vector>

// Non-copyable RAII owners of a zlib stream; each ends its stream when it goes
// away. Both speak raw Deflate (no zlib header or Adler-32 trailer), which is
// what a ZIP member holds.
namespace quilvane::archive {

class Deflater {
 public:
  // Throws platform::Error "error <code>" when zlib cannot start.
  explicit Deflater(int level);
  ~Deflater();
  Deflater(const Deflater&) = delete;
  Deflater& operator=(const Deflater&) = delete;

  // Compresses `in` whole and appends the output to `out` starting at
  // `out_used`, growing `out` when needed; returns the new used length.
  // `finish` ends the stream, otherwise a sync flush ends the block.
  size_t Compress(std::span<const std::uint8_t> in, bool finish, std::vector<std::uint8_t>& out,
                  size_t out_used);

 private:
  z_stream z_{};
};

class Inflater {
 public:
  Inflater();
  ~Inflater();
  Inflater(const Inflater&) = delete;
  Inflater& operator=(const Inflater&) = delete;

  struct Step {
    size_t consumed = 0;
    size_t produced = 0;
    bool stream_end = false;
    bool error = false;
  };
  // One inflate call over `in` into `out`.
  Step Run(std::span<const std::uint8_t> in, std::span<std::uint8_t> out);

 private:
  z_stream z_{};
};

}  // namespace quilvane::archive
