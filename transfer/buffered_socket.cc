#include "transfer/buffered_socket.h"

#include <algorithm>

namespace quilvane::transfer {
namespace {
constexpr size_t kReadChunk = 256 * 1024;
}

bool BufferedSocket::Fill(platform::Deadline deadline) {
  if (pos_ > 0 && pos_ == buffer_.size()) {
    buffer_.clear();
    pos_ = 0;
  } else if (pos_ > 64 * 1024) {
    buffer_.erase(0, pos_);
    pos_ = 0;
  }
  size_t old = buffer_.size();
  buffer_.resize(old + kReadChunk);
  size_t n = 0;
  try {
    n = socket_.Read(std::span<char>(buffer_.data() + old, kReadChunk), deadline);
  } catch (...) {
    buffer_.resize(old);
    throw;
  }
  buffer_.resize(old + n);
  return n > 0;
}

std::optional<std::string> BufferedSocket::ReadLine(size_t max_bytes,
                                                    platform::Deadline deadline) {
  size_t scanned = pos_;
  for (;;) {
    size_t lf = buffer_.find('\n', scanned);
    if (lf != std::string::npos) {
      if (lf - pos_ > max_bytes) throw LineTooLongError();
      std::string line = buffer_.substr(pos_, lf - pos_);
      pos_ = lf + 1;
      if (!line.empty() && line.back() == '\r') line.pop_back();
      return line;
    }
    if (buffer_.size() - pos_ > max_bytes) throw LineTooLongError();
    // Fill may move the unread bytes to the front of the buffer.
    const size_t unread = buffer_.size() - pos_;
    const bool more = Fill(deadline);
    scanned = pos_ + unread;
    if (!more) {
      if (pos_ == buffer_.size()) return std::nullopt;
      std::string line = buffer_.substr(pos_);
      pos_ = buffer_.size();
      if (!line.empty() && line.back() == '\r') line.pop_back();
      return line;
    }
  }
}

std::string_view BufferedSocket::ReadSome(size_t max, platform::Deadline deadline) {
  if (pos_ == buffer_.size()) {
    // Large reads go straight from the socket, without the line buffer.
    buffer_.clear();
    pos_ = 0;
    if (chunk_.size() < kReadChunk) chunk_.resize(kReadChunk);
    size_t n = socket_.Read(std::span<char>(chunk_.data(), std::min(max, chunk_.size())), deadline);
    return std::string_view(chunk_.data(), n);
  }
  size_t n = std::min(max, buffer_.size() - pos_);
  std::string_view out(buffer_.data() + pos_, n);
  pos_ += n;
  return out;
}

}  // namespace quilvane::transfer
