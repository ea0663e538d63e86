#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "platform/error.h"
#include "platform/socket.h"
#include "platform/tls.h"
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
// bytes (HTTP bodies), in clear text or, after StartTls, over TLS. Every wait
// is bounded by the socket's idle limit, the caller's deadline and, while one
// is watched, the progress rule.
class BufferedSocket {
 public:
  BufferedSocket() = default;
  explicit BufferedSocket(platform::Socket socket) : socket_(std::move(socket)) {}

  bool is_open() const { return tls_.is_open() || socket_.is_open(); }
  // The connection underneath (its peer's address); reads and writes go
  // through this class.
  platform::Socket& socket() { return tls_.is_open() ? tls_.socket() : socket_; }

  // Runs the TLS handshake for `host` on the open connection (an https
  // address, AUTH TLS, implicit FTPS); from then on every byte is
  // protected. With `resume`, offers that connection's TLS session (an FTP
  // data connection). Bytes already buffered in clear text are refused: a
  // peer that sends them ahead of the handshake is injecting them. Throws
  // platform::TlsError, or the socket's errors.
  void StartTls(platform::TlsClient& client, const std::string& host, platform::Deadline deadline,
                const BufferedSocket* resume = nullptr);
  bool tls() const { return tls_.is_open(); }
  // The protocol and certificate of a TLS connection; empty otherwise.
  platform::TlsPeerInfo tls_peer_info() const { return tls_.peer_info(); }

  // Whether data (or the peer's close) arrives within `wait`. Over TLS,
  // records that carry no data (session tickets) do not count.
  bool WaitReadable(std::chrono::milliseconds wait);
  // Without waiting: whether the peer has closed its side. Over TLS, a
  // record that arrived is read to tell a close alert from data (kept).
  bool PeerClosed();

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
    tls_.Close();
    socket_.Close();
  }
  // Over TLS, sends the close alert first (a peer takes a close without it
  // for a cut stream); waits at most until `deadline`. Never throws.
  void Shutdown(platform::Deadline deadline) {
    DiscardBuffered();
    tls_.Shutdown(deadline);
    socket_.Close();
  }

 private:
  bool Fill(platform::Deadline deadline);
  // One socket read, counted for the progress watch.
  size_t Read(std::span<char> out, platform::Deadline deadline);
  // One read or write on the connection, TLS or not.
  size_t RawRead(std::span<char> out, platform::Deadline deadline);
  size_t RawWriteSome(std::string_view bytes, platform::Deadline deadline);

  std::optional<ProgressWatch> watch_;

  platform::Socket socket_;
  platform::TlsStream tls_;  // open once StartTls ran; then socket_ is empty
  std::string buffer_;
  size_t pos_ = 0;
  std::string chunk_;
};

}  // namespace quilvane::transfer
