#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/error.h"
#include "platform/socket.h"

namespace quilvane::transfer {

// The peer closed the connection while more was expected.
class ConnectionClosedError : public platform::Error {
 public:
  ConnectionClosedError() : platform::Error("Connection Closed Gracefully.") {}
};

// A line longer than the caller allows.
class LineTooLongError : public platform::Error {
 public:
  LineTooLongError() : platform::Error("Line too long.") {}
};

// A socket with a read buffer, for line-based protocols that switch to raw
// bytes (HTTP bodies). Every wait is bounded by the socket's idle limit and
// the caller's deadline.
class BufferedSocket {
 public:
  BufferedSocket() = default;
  explicit BufferedSocket(platform::Socket socket) : socket_(std::move(socket)) {}

  bool is_open() const { return socket_.is_open(); }
  platform::Socket& socket() { return socket_; }

  // One line up to LF, the CR before it dropped. A last line cut off by the
  // close is returned as it is; nullopt when the peer closed before any
  // byte. A line longer than `max_bytes` throws LineTooLongError.
  std::optional<std::string> ReadLine(size_t max_bytes, platform::Deadline deadline);

  // Up to `max` bytes: buffered ones first, else one socket read. Empty when
  // the peer has closed.
  std::string_view ReadSome(size_t max, platform::Deadline deadline);

  void WriteAll(std::string_view bytes, platform::Deadline deadline) {
    socket_.WriteAll(bytes, deadline);
  }

  // Buffered bytes not yet consumed.
  size_t buffered() const { return buffer_.size() - pos_; }
  void DiscardBuffered() {
    buffer_.clear();
    pos_ = 0;
  }
  void Close() {
    DiscardBuffered();
    socket_.Close();
  }

 private:
  bool Fill(platform::Deadline deadline);

  platform::Socket socket_;
  std::string buffer_;
  size_t pos_ = 0;
  std::string chunk_;
};

}  // namespace quilvane::transfer
