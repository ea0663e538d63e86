#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "platform/error.h"
#include "platform/socket.h"
#include "transfer/progress.h"

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
// bytes (HTTP bodies). Every wait is bounded by the socket's idle limit, the
// caller's deadline and, while one is watched, the progress rule.
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

  void WriteAll(std::string_view bytes, platform::Deadline deadline);

  // From now on every byte read or written counts for `limits` (the
  // ceiling counting from `begun`); a wait that outlives the rule throws
  // TransferTooSlowError. A second call starts a fresh watch.
  void WatchProgress(const ProgressLimits& limits, platform::Deadline begun);

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
  // One socket read, counted for the progress watch.
  size_t Read(std::span<char> out, platform::Deadline deadline);

  std::optional<ProgressWatch> watch_;

  platform::Socket socket_;
  std::string buffer_;
  size_t pos_ = 0;
  std::string chunk_;
};

}  // namespace quilvane::transfer
