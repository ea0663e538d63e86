#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "platform/error.h"

namespace quilvane::exchange {

// Bytes appended in records to 1 MB buffers that never move: a record stays
// where it was put and growth copies nothing. A growing string of megabytes
// copies itself at every doubling, and on a virtual machine every fresh page
// is a fault.
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
    if (chunks_.empty() || chunks_.back().capacity() - chunks_.back().size() < size) {
      if (chunks_.size() >= kMostPlace || size >= kMostPlace) {
        throw platform::Error("Too much text to keep in memory");
      }
      chunks_.emplace_back().reserve(std::max(kChunkBytes, size));
    }
    std::string& chunk = chunks_.back();
    const Place place{static_cast<std::uint32_t>(chunks_.size() - 1),
                      static_cast<std::uint32_t>(chunk.size())};
    for (std::string_view part : parts) chunk.append(part);
    size_ += size;
    return place;
  }

  // The `size` bytes at `place`.
  std::string_view At(Place place, std::size_t size) const {
    return std::string_view(chunks_[place.chunk]).substr(place.offset, size);
  }

  // Bytes appended in all.
  std::size_t size() const { return size_; }

 private:
  static constexpr std::size_t kChunkBytes = std::size_t{1} << 20;
  static constexpr std::size_t kMostPlace = std::numeric_limits<std::uint32_t>::max();

  std::vector<std::string> chunks_;
  std::size_t size_ = 0;
};

}  // namespace quilvane::exchange
