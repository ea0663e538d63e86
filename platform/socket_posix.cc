#include "platform/socket.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <utility>

namespace quilvane::platform {
namespace {

struct WinsockText {
  int code;
  const char* text;
};

constexpr WinsockText kWinsockTexts[] = {
    {10004, "Interrupted system call."},
    {10013, "Permission denied."},
    {10024, "Too many open files."},
    {10038, "Socket operation on non-socket."},
    {10048, "Address already in use."},
    {10049, "Cannot assign requested address."},
    {10050, "Network is down."},
    {10051, "Network is unreachable."},
    {10052, "Net dropped connection or reset."},
    {10053, "Software caused connection abort."},
    {10054, "Connection reset by peer."},
    {10055, "No buffer space available."},
    {10057, "Socket is not connected."},
    {10060, "Connection timed out."},
    {10061, "Connection refused."},
    {10064, "Host is down."},
    {10065, "No route to host."},
    {11001, "Host not found."},
    {11002, "Non-authoritative host not found."},
    {11004, "Valid name, no data record of requested type."},
};

// errno to the Winsock number the log shows.
int WinsockCode(int err) {
  switch (err) {
    case EINTR: return 10004;
    case EACCES: case EPERM: return 10013;
    case EMFILE: case ENFILE: return 10024;
    case ENOTSOCK: case EBADF: return 10038;
    case EADDRINUSE: return 10048;
    case EADDRNOTAVAIL: return 10049;
    case ENETDOWN: return 10050;
    case ENETUNREACH: return 10051;
    case ENETRESET: return 10052;
    case ECONNABORTED: return kSocketAborted;
    case ECONNRESET: case EPIPE: return kSocketReset;
    case ENOBUFS: case ENOMEM: return 10055;
    case ENOTCONN: return 10057;
    case ETIMEDOUT: return kSocketTimedOut;
    case ECONNREFUSED: return kSocketRefused;
    case EHOSTDOWN: return 10064;
    case EHOSTUNREACH: return 10065;
    default: return err;
  }
}

[[noreturn]] void ThrowErrno(int err) { throw SocketError(WinsockCode(err)); }

std::chrono::milliseconds Remaining(Deadline deadline) {
  if (deadline == Deadline::max()) return std::chrono::milliseconds::max();
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - SteadyClock::now());
  return std::max(left, std::chrono::milliseconds(0));
}

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

Deadline IdleLimit(std::chrono::milliseconds idle, Deadline deadline) {
  auto now = SteadyClock::now();
  Deadline idle_end = idle.count() <= 0 || idle > std::chrono::hours(24 * 365)
                          ? Deadline::max()
                          : now + idle;
  return std::min(idle_end, deadline);
}

}  // namespace

std::string SocketErrorText(int code) {
  std::string text = "Socket Error # " + std::to_string(code) + "\r\n";
  for (const auto& t : kWinsockTexts) {
    if (t.code == code) return text + t.text;
  }
  std::string sys = std::strerror(code);
  return text + sys + ".";
}

SocketError::SocketError(int code) : SystemError(SocketErrorText(code), code) {}

SocketTimeoutError::SocketTimeoutError() : TimeoutError(SocketErrorText(kSocketTimedOut)) {}

std::string Ipv4Address::ToString() const {
  return std::to_string(value >> 24) + "." + std::to_string((value >> 16) & 255) + "." +
         std::to_string((value >> 8) & 255) + "." + std::to_string(value & 255);
}

bool ParseIpv4(std::string_view text, Ipv4Address* out) {
  std::uint32_t value = 0;
  int fields = 0;
  size_t i = 0;
  while (fields < 4) {
    size_t start = i;
    unsigned field = 0;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9' && i - start < 3) {
      field = field * 10 + static_cast<unsigned>(text[i] - '0');
      ++i;
    }
    if (i == start || field > 255) return false;
    value = (value << 8) | field;
    ++fields;
    if (fields < 4) {
      if (i >= text.size() || text[i] != '.') return false;
      ++i;
    }
  }
  if (i != text.size()) return false;
  out->value = value;
  return true;
}

// Names under "localhost" are the loopback and names under "invalid" never
// exist (RFC 6761): both are answered here, without asking a name server.
bool EndsWithLabel(const std::string& host, std::string_view label) {
  if (host.size() < label.size()) return false;
  for (size_t i = 0; i < label.size(); ++i) {
    char c = host[host.size() - label.size() + i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != label[i]) return false;
  }
  return host.size() == label.size() || host[host.size() - label.size() - 1] == '.';
}

Ipv4Address ResolveIpv4(const std::string& host) {
  Ipv4Address address;
  if (ParseIpv4(host, &address)) return address;
  std::string name = host;
  if (!name.empty() && name.back() == '.') name.pop_back();
  if (EndsWithLabel(name, "localhost")) {
    address.value = 0x7F000001;
    return address;
  }
  if (EndsWithLabel(name, "invalid")) throw SocketError(kSocketHostNotFound);
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* result = nullptr;
  if (host.empty() || ::getaddrinfo(host.c_str(), nullptr, &hints, &result) != 0 || !result) {
    throw SocketError(kSocketHostNotFound);
  }
  const auto* sin = reinterpret_cast<const sockaddr_in*>(result->ai_addr);
  address.value = ntohl(sin->sin_addr.s_addr);
  ::freeaddrinfo(result);
  return address;
}

Socket::Socket(Socket&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), peer_(other.peer_), idle_(other.idle_) {}

Socket& Socket::operator=(Socket&& other) noexcept {
  if (this != &other) {
    Close();
    fd_ = std::exchange(other.fd_, -1);
    peer_ = other.peer_;
    idle_ = other.idle_;
  }
  return *this;
}

Socket::~Socket() { Close(); }

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

void Socket::WriteAll(std::string_view bytes, Deadline deadline) {
  if (fd_ < 0) ThrowErrno(ENOTSOCK);
  Deadline limit = IdleLimit(idle_, deadline);
  while (!bytes.empty()) {
    ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n > 0) {
      bytes.remove_prefix(static_cast<size_t>(n));
      limit = IdleLimit(idle_, deadline);  // progress restarts the idle wait
      continue;
    }
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

Listener::Listener(Listener&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), port_(other.port_) {}

Listener::~Listener() { Close(); }

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
