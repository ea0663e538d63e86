#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>

#include "platform/error.h"

namespace quilvane::platform {

// Blocking IPv4 TCP with time limits. Every wait polls with what is left of
// its limit, so a silent peer ends in a TimeoutError instead of holding the
// caller for good; interrupted calls are retried.

using SteadyClock = std::chrono::steady_clock;
using Deadline = SteadyClock::time_point;

// A socket failure. code() is the Winsock-style number that the operator's
// log has always shown (10061 refused, 11001 host not found, ...), whatever
// the host; what() is "Socket Error # <code>" CR LF "<description>".
class SocketError : public SystemError {
 public:
  explicit SocketError(int winsock_code);
};

// Well-known numbers, kept the same on every host.
inline constexpr int kSocketTimedOut = 10060;
inline constexpr int kSocketRefused = 10061;
inline constexpr int kSocketReset = 10054;
inline constexpr int kSocketAborted = 10053;
inline constexpr int kSocketHostNotFound = 11001;

// The text of a socket failure: "Socket Error # 10061\r\nConnection refused."
std::string SocketErrorText(int winsock_code);

// A wait that ran out of time on a socket: a TimeoutError that reads like a
// socket error (code 10060) in the log.
class SocketTimeoutError : public TimeoutError {
 public:
  SocketTimeoutError();
};

// An IPv4 address in host byte order.
struct Ipv4Address {
  std::uint32_t value = 0;
  std::string ToString() const;  // dotted quad
  bool operator==(const Ipv4Address&) const = default;
};

// Parses a dotted quad of four decimal fields 0-255; false for anything else.
bool ParseIpv4(std::string_view text, Ipv4Address* out);

// Resolves a host name to its first IPv4 address; a dotted quad is used as
// is. Throws SocketError(kSocketHostNotFound).
Ipv4Address ResolveIpv4(const std::string& host);

// Name resolution as the clients see it; tests install their own so that no
// lookup ever leaves the machine.
using Resolver = std::function<Ipv4Address(const std::string& host)>;

// The time limits of one connection.
struct SocketTimeouts {
  std::chrono::milliseconds connect{30000};
  // Longest wait without any progress on a read or a write.
  std::chrono::milliseconds idle{60000};
};

class Socket {
 public:
  Socket() = default;
  Socket(Socket&& other) noexcept;
  Socket& operator=(Socket&& other) noexcept;
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  ~Socket();

  // Connects within timeouts.connect (and before `deadline`). Throws
  // SocketError, or SocketTimeoutError when the limit runs out.
  static Socket Connect(Ipv4Address address, std::uint16_t port, const SocketTimeouts& timeouts,
                        Deadline deadline = Deadline::max());

  bool is_open() const { return fd_ >= 0; }
  Ipv4Address peer() const { return peer_; }

  // Reads what is available, at most out.size() bytes; 0 when the peer has
  // closed. Waits at most the idle limit and never past `deadline`.
  size_t Read(std::span<char> out, Deadline deadline = Deadline::max());
  // Writes what the connection takes now, waiting as Read does for room;
  // returns the count written (0 only for empty `bytes`).
  size_t WriteSome(std::string_view bytes, Deadline deadline = Deadline::max());
  // Writes every byte; each write that moves bytes restarts the idle wait.
  void WriteAll(std::string_view bytes, Deadline deadline = Deadline::max());

  // Whether data (or the peer's close) arrives within `wait`.
  bool WaitReadable(std::chrono::milliseconds wait);
  // Without waiting: whether the peer has closed its side (pending data is
  // not consumed).
  bool PeerClosed();

  void set_idle_timeout(std::chrono::milliseconds idle) { idle_ = idle; }
  void Close();

 private:
  friend class Listener;
  Socket(int fd, Ipv4Address peer) : fd_(fd), peer_(peer) {}

  int fd_ = -1;
  Ipv4Address peer_;
  std::chrono::milliseconds idle_{60000};
};

// A listening socket on 127.0.0.1 (tests' scripted peers).
class Listener {
 public:
  // port 0 picks a free one.
  explicit Listener(std::uint16_t port = 0);
  Listener(Listener&& other) noexcept;
  Listener(const Listener&) = delete;
  Listener& operator=(const Listener&) = delete;
  ~Listener();

  std::uint16_t port() const { return port_; }
  // Waits up to `wait` for a connection; throws SocketTimeoutError.
  Socket Accept(std::chrono::milliseconds wait);
  void Close();

 private:
  int fd_ = -1;
  std::uint16_t port_ = 0;
};

}  // namespace quilvane::platform
