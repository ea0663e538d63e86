#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <limits>
#include <string_view>
#include <vector>

#include "platform/error.h"
#include "platform/large_block.h"

namespace quilvane::exchange {

// Bytes appended in records to 2 MB buffers that never move: a record stays
// where it was put and growth copies nothing. A growing string of megabytes
// copies itself at every doubling, and on a virtual machine every fresh page
// is a fault (the buffers are platform::LargeBlock for that).
class ChunkedText {
 public:
  struct Place {
    std::uint32_t chunk, offset;
  };

  // Appends `parts` one after the other as one record, never split across
  // buffers. Throws platform::Error past 32-bit places.
  Place Append(std::initializer_list<std::string_view> parts) {
    std::size_t size = 0;
    for (std::string_view part : parts) size += part.size();
    if (chunks_.empty() || chunks_.back().capacity - chunks_.back().used < size) {
      if (chunks_.size() >= kMostPlace || size >= kMostPlace) {
        throw platform::Error("Too much text to keep in memory");
      }
      platform::LargeBlock block = platform::AllocateLargeBlock(size);
      const std::size_t capacity = block.get_deleter().size;
      chunks_.push_back({std::move(block), capacity, 0});
    }
    Chunk& chunk = chunks_.back();
    const Place place{static_cast<std::uint32_t>(chunks_.size() - 1),
                      static_cast<std::uint32_t>(chunk.used)};
    for (std::string_view part : parts) {
      std::copy(part.begin(), part.end(), chunk.data.get() + chunk.used);
      chunk.used += part.size();
    }
    size_ += size;
    return place;
  }

  // The `size` bytes at `place`.
  std::string_view At(Place place, std::size_t size) const {
    return std::string_view(chunks_[place.chunk].data.get() + place.offset, size);
  }

  // Bytes appended in all.
  std::size_t size() const { return size_; }

 private:
  static constexpr std::size_t kMostPlace = std::numeric_limits<std::uint32_t>::max();

  struct Chunk {
    platform::LargeBlock data;
    std::size_t capacity;
    std::size_t used;
  };
  std::vector<Chunk> chunks_;
  std::size_t size_ = 0;
};

}  // namespace quilvane::exchange
