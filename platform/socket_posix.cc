#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <utility>

#include "platform/socket.h"
#include "platform/socket_internal.h"

namespace quilvane::platform {
namespace {

using internal::IdleLimit;
using internal::Remaining;

// errno to the Winsock number the log shows.
int WinsockCode(int err) {
  switch (err) {
    case EINTR:
      return 10004;
    case EACCES:
    case EPERM:
      return 10013;
    case EMFILE:
    case ENFILE:
      return 10024;
    case ENOTSOCK:
    case EBADF:
      return 10038;
    case EADDRINUSE:
      return 10048;
    case EADDRNOTAVAIL:
      return 10049;
    case ENETDOWN:
      return 10050;
    case ENETUNREACH:
      return 10051;
    case ENETRESET:
      return 10052;
    case ECONNABORTED:
      return kSocketAborted;
    case ECONNRESET:
    case EPIPE:
      return kSocketReset;
    case ENOBUFS:
    case ENOMEM:
      return 10055;
    case ENOTCONN:
      return 10057;
    case ETIMEDOUT:
      return kSocketTimedOut;
    case ECONNREFUSED:
      return kSocketRefused;
    case EHOSTDOWN:
      return 10064;
    case EHOSTUNREACH:
      return 10065;
    default:
      return err;
  }
}

[[noreturn]] void ThrowErrno(int err) { throw SocketError(WinsockCode(err)); }

// Polls for `events` until `limit`; false when the time ran out. Retries on
// EINTR with what is left.
bool PollFor(int fd, short events, Deadline limit) {
  for (;;) {
    auto left = Remaining(limit);
    int timeout_ms = left == std::chrono::milliseconds::max()
                         ? -1
                         : static_cast<int>(std::min<std::int64_t>(left.count(), 1 << 30));
    pollfd p{fd, events, 0};
    int rc = ::poll(&p, 1, timeout_ms);
    if (rc > 0) return true;
    if (rc == 0) {
      if (SteadyClock::now() >= limit) return false;
      continue;
    }
    if (errno != EINTR) ThrowErrno(errno);
  }
}

}  // namespace

namespace internal {
void StartSockets() {}
}  // namespace internal

void Socket::Close() {
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
}

Socket Socket::Connect(Ipv4Address address, std::uint16_t port, const SocketTimeouts& timeouts,
                       Deadline deadline) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) ThrowErrno(errno);
  Socket socket(fd, address);
  socket.idle_ = timeouts.idle;
  int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  sockaddr_in sin{};
  sin.sin_family = AF_INET;
  sin.sin_port = htons(port);
  sin.sin_addr.s_addr = htonl(address.value);
  int rc;
  do {
    rc = ::connect(fd, reinterpret_cast<const sockaddr*>(&sin), sizeof sin);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) {
    if (errno != EINPROGRESS) ThrowErrno(errno);
    if (!PollFor(fd, POLLOUT, IdleLimit(timeouts.connect, deadline))) throw SocketTimeoutError();
    int err = 0;
    socklen_t len = sizeof err;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) ThrowErrno(errno);
    if (err != 0) ThrowErrno(err);
  }
  return socket;
}

size_t Socket::Read(std::span<char> out, Deadline deadline) {
  if (fd_ < 0) ThrowErrno(ENOTSOCK);
  Deadline limit = IdleLimit(idle_, deadline);
  for (;;) {
    ssize_t n = ::recv(fd_, out.data(), out.size(), 0);
    if (n >= 0) return static_cast<size_t>(n);
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) ThrowErrno(errno);
    if (!PollFor(fd_, POLLIN, limit)) throw SocketTimeoutError();
  }
}

size_t Socket::WriteSome(std::string_view bytes, Deadline deadline) {
  if (fd_ < 0) ThrowErrno(ENOTSOCK);
  if (bytes.empty()) return 0;
  Deadline limit = IdleLimit(idle_, deadline);
  for (;;) {
    ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n > 0) return static_cast<size_t>(n);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) ThrowErrno(errno);
    if (!PollFor(fd_, POLLOUT, limit)) throw SocketTimeoutError();
  }
}

bool Socket::WaitReadable(std::chrono::milliseconds wait) {
  if (fd_ < 0) return false;
  return PollFor(fd_, POLLIN, SteadyClock::now() + wait);
}

bool Socket::PeerClosed() {
  if (fd_ < 0) return true;
  pollfd p{fd_, POLLIN, 0};
  int rc;
  do {
    rc = ::poll(&p, 1, 0);
  } while (rc < 0 && errno == EINTR);
  if (rc <= 0) return false;
  if (p.revents & (POLLERR | POLLNVAL)) return true;
  char c;
  ssize_t n;
  do {
    n = ::recv(fd_, &c, 1, MSG_PEEK);
  } while (n < 0 && errno == EINTR);
  if (n == 0) return true;
  if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return true;
  return false;
}

Listener::Listener(std::uint16_t port) {
  fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd_ < 0) ThrowErrno(errno);
  int one = 1;
  ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in sin{};
  sin.sin_family = AF_INET;
  sin.sin_port = htons(port);
  sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(fd_, reinterpret_cast<const sockaddr*>(&sin), sizeof sin) != 0 ||
      ::listen(fd_, 16) != 0) {
    int err = errno;
    Close();
    ThrowErrno(err);
  }
  socklen_t len = sizeof sin;
  ::getsockname(fd_, reinterpret_cast<sockaddr*>(&sin), &len);
  port_ = ntohs(sin.sin_port);
}

void Listener::Close() {
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
}

Socket Listener::Accept(std::chrono::milliseconds wait) {
  Deadline limit = SteadyClock::now() + wait;
  for (;;) {
    sockaddr_in sin{};
    socklen_t len = sizeof sin;
    int fd = ::accept4(fd_, reinterpret_cast<sockaddr*>(&sin), &len, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd >= 0) {
      int one = 1;
      ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      return Socket(fd, Ipv4Address{ntohl(sin.sin_addr.s_addr)});
    }
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) ThrowErrno(errno);
    if (!PollFor(fd_, POLLIN, limit)) throw SocketTimeoutError();
  }
}

}  // namespace quilvane::platform
