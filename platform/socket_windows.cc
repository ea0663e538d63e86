// TCP sockets on Windows: Winsock 2, non-blocking sockets waited on with
// select(), the Winsock error numbers as they are.
// Winsock 2 before windows.h, which would otherwise bring the old winsock.h.
// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
// clang-format on

#include <algorithm>
#include <array>
#include <cstring>
#include <mutex>
#include <utility>

#include "platform/socket.h"
#include "platform/socket_internal.h"

namespace quilvane::platform {
namespace {

using internal::IdleLimit;
using internal::Remaining;

// SOCKET is pointer-sized, the class keeps an int: Windows handles are
// 32-bit significant (shared with 32-bit processes), so the narrowing is
// lossless.
SOCKET S(int fd) { return static_cast<SOCKET>(static_cast<unsigned>(fd)); }

int Fd(SOCKET s) { return s == INVALID_SOCKET ? -1 : static_cast<int>(static_cast<unsigned>(s)); }

[[noreturn]] void ThrowLast() { throw SocketError(WSAGetLastError()); }

void SetNonBlocking(SOCKET s) {
  u_long one = 1;
  if (ioctlsocket(s, FIONBIO, &one) != 0) ThrowLast();
}

enum class Wait { kRead, kWrite, kConnect };

// Waits for the socket until `limit`; false when the time ran out. A failed
// connect shows as an exception condition (WSAPoll does not report it on
// older systems, select does).
bool WaitFor(int fd, Wait what, Deadline limit) {
  for (;;) {
    auto left = Remaining(limit);
    timeval tv{};
    timeval* ptv = nullptr;
    if (left != std::chrono::milliseconds::max()) {
      const auto ms = std::min<std::int64_t>(left.count(), 1 << 30);
      tv.tv_sec = static_cast<long>(ms / 1000);
      tv.tv_usec = static_cast<long>((ms % 1000) * 1000);
      ptv = &tv;
    }
    fd_set rd, wr, ex;
    FD_ZERO(&rd);
    FD_ZERO(&wr);
    FD_ZERO(&ex);
    const SOCKET s = S(fd);
    if (what == Wait::kRead) FD_SET(s, &rd);
    if (what != Wait::kRead) FD_SET(s, &wr);
    if (what == Wait::kConnect) FD_SET(s, &ex);
    const int rc = select(0, &rd, &wr, &ex, ptv);
    if (rc > 0) return true;
    if (rc == 0) {
      if (SteadyClock::now() >= limit) return false;
      continue;
    }
    const int err = WSAGetLastError();
    if (err != WSAEINTR) throw SocketError(err);
  }
}

}  // namespace

namespace internal {
void StartSockets() {
  static std::once_flag once;
  static int error = 0;
  std::call_once(once, [] {
    WSADATA data;
    error = WSAStartup(MAKEWORD(2, 2), &data);
  });
  if (error != 0) throw SocketError(error);
}
}  // namespace internal

void Socket::Close() {
  if (fd_ >= 0) {
    closesocket(S(fd_));
    fd_ = -1;
  }
}

Socket Socket::Connect(Ipv4Address address, std::uint16_t port, const SocketTimeouts& timeouts,
                       Deadline deadline) {
  internal::StartSockets();
  const SOCKET s = WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0,
                              WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
  if (s == INVALID_SOCKET) ThrowLast();
  Socket socket(Fd(s), address);
  socket.idle_ = timeouts.idle;
  SetNonBlocking(s);
  BOOL one = TRUE;
  setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
  sockaddr_in sin{};
  sin.sin_family = AF_INET;
  sin.sin_port = htons(port);
  sin.sin_addr.s_addr = htonl(address.value);
  if (connect(s, reinterpret_cast<const sockaddr*>(&sin), sizeof sin) != 0) {
    const int err = WSAGetLastError();
    if (err != WSAEWOULDBLOCK && err != WSAEINPROGRESS) throw SocketError(err);
    if (!WaitFor(socket.fd_, Wait::kConnect, IdleLimit(timeouts.connect, deadline))) {
      throw SocketTimeoutError();
    }
    int so_error = 0;
    int len = sizeof so_error;
    if (getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&so_error), &len) != 0) {
      ThrowLast();
    }
    if (so_error != 0) throw SocketError(so_error);
  }
  return socket;
}

size_t Socket::Read(std::span<char> out, Deadline deadline) {
  if (fd_ < 0) throw SocketError(WSAENOTSOCK);
  Deadline limit = IdleLimit(idle_, deadline);
  const int want = static_cast<int>(std::min<size_t>(out.size(), 1u << 30));
  for (;;) {
    const int n = recv(S(fd_), out.data(), want, 0);
    if (n >= 0) return static_cast<size_t>(n);
    const int err = WSAGetLastError();
    if (err == WSAEINTR) continue;
    if (err != WSAEWOULDBLOCK) throw SocketError(err);
    if (!WaitFor(fd_, Wait::kRead, limit)) throw SocketTimeoutError();
  }
}

size_t Socket::WriteSome(std::string_view bytes, Deadline deadline) {
  if (fd_ < 0) throw SocketError(WSAENOTSOCK);
  if (bytes.empty()) return 0;
  Deadline limit = IdleLimit(idle_, deadline);
  const int want = static_cast<int>(std::min<size_t>(bytes.size(), 1u << 30));
  for (;;) {
    const int n = send(S(fd_), bytes.data(), want, 0);
    if (n > 0) return static_cast<size_t>(n);
    const int err = n < 0 ? WSAGetLastError() : WSAEWOULDBLOCK;
    if (err == WSAEINTR) continue;
    if (err != WSAEWOULDBLOCK) throw SocketError(err);
    if (!WaitFor(fd_, Wait::kWrite, limit)) throw SocketTimeoutError();
  }
}

bool Socket::WaitReadable(std::chrono::milliseconds wait) {
  if (fd_ < 0) return false;
  return WaitFor(fd_, Wait::kRead, SteadyClock::now() + wait);
}

bool Socket::PeerClosed() {
  if (fd_ < 0) return true;
  try {
    if (!WaitFor(fd_, Wait::kRead, SteadyClock::now())) return false;
  } catch (const SocketError&) {
    return true;
  }
  char c;
  const int n = recv(S(fd_), &c, 1, MSG_PEEK);
  if (n == 0) return true;
  if (n < 0 && WSAGetLastError() != WSAEWOULDBLOCK) return true;
  return false;
}

Listener::Listener(std::uint16_t port) {
  internal::StartSockets();
  const SOCKET s = WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0,
                              WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
  if (s == INVALID_SOCKET) ThrowLast();
  fd_ = Fd(s);
  sockaddr_in sin{};
  sin.sin_family = AF_INET;
  sin.sin_port = htons(port);
  sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (ioctlsocket(s, FIONBIO, std::array<u_long, 1>{1}.data()) != 0 ||
      bind(s, reinterpret_cast<const sockaddr*>(&sin), sizeof sin) != 0 || listen(s, 16) != 0) {
    const int err = WSAGetLastError();
    Close();
    throw SocketError(err);
  }
  int len = sizeof sin;
  getsockname(s, reinterpret_cast<sockaddr*>(&sin), &len);
  port_ = ntohs(sin.sin_port);
}

void Listener::Close() {
  if (fd_ >= 0) {
    closesocket(S(fd_));
    fd_ = -1;
  }
}

Socket Listener::Accept(std::chrono::milliseconds wait) {
  Deadline limit = SteadyClock::now() + wait;
  for (;;) {
    sockaddr_in sin{};
    int len = sizeof sin;
    const SOCKET s = accept(S(fd_), reinterpret_cast<sockaddr*>(&sin), &len);
    if (s != INVALID_SOCKET) {
      Socket socket(Fd(s), Ipv4Address{ntohl(sin.sin_addr.s_addr)});
      SetNonBlocking(s);
      BOOL one = TRUE;
      setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
      return socket;
    }
    const int err = WSAGetLastError();
    if (err == WSAEINTR) continue;
    if (err != WSAEWOULDBLOCK) throw SocketError(err);
    if (!WaitFor(fd_, Wait::kRead, limit)) throw SocketTimeoutError();
  }
}

}  // namespace quilvane::platform
