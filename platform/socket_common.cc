#include "platform/socket.h"

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#endif

#include <algorithm>
#include <utility>

#include "platform/error.h"
#include "platform/socket_internal.h"

namespace quilvane::platform {
namespace internal {
namespace {

struct CodeText {
  int code;
  const char* text;
};

constexpr CodeText kWinsockTexts[] = {
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

bool EndsWithLabel(const std::string& host, std::string_view label) {
  if (host.size() < label.size()) return false;
  for (size_t i = 0; i < label.size(); ++i) {
    char c = host[host.size() - label.size() + i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != label[i]) return false;
  }
  return host.size() == label.size() || host[host.size() - label.size() - 1] == '.';
}

}  // namespace

std::chrono::milliseconds Remaining(Deadline deadline) {
  if (deadline == Deadline::max()) return std::chrono::milliseconds::max();
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - SteadyClock::now());
  return std::max(left, std::chrono::milliseconds(0));
}

Deadline IdleLimit(std::chrono::milliseconds idle, Deadline deadline) {
  auto now = SteadyClock::now();
  Deadline idle_end =
      idle.count() <= 0 || idle > std::chrono::hours(24 * 365) ? Deadline::max() : now + idle;
  return std::min(idle_end, deadline);
}

const char* WinsockText(int code) {
  for (const auto& t : kWinsockTexts) {
    if (t.code == code) return t.text;
  }
  return nullptr;
}

std::optional<Ipv4Address> ResolveWithoutNameServer(const std::string& host) {
  Ipv4Address address;
  if (ParseIpv4(host, &address)) return address;
  std::string name = host;
  if (!name.empty() && name.back() == '.') name.pop_back();
  if (EndsWithLabel(name, "localhost")) {
    address.value = 0x7F000001;
    return address;
  }
  if (EndsWithLabel(name, "invalid")) throw SocketError(kSocketHostNotFound);
  return std::nullopt;
}

}  // namespace internal

std::string SocketErrorText(int code) {
  std::string text = "Socket Error # " + std::to_string(code) + "\r\n";
  if (const char* known = internal::WinsockText(code)) return text + known;
  std::string sys = SystemMessage(code);
  if (sys.empty() || sys.back() != '.') sys += '.';
  return text + sys;
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

Ipv4Address ResolveIpv4(const std::string& host) {
  if (auto known = internal::ResolveWithoutNameServer(host)) return *known;
  internal::StartSockets();
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* result = nullptr;
  if (host.empty() || ::getaddrinfo(host.c_str(), nullptr, &hints, &result) != 0 || !result) {
    throw SocketError(kSocketHostNotFound);
  }
  Ipv4Address address;
  address.value = ntohl(reinterpret_cast<const sockaddr_in*>(result->ai_addr)->sin_addr.s_addr);
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

void Socket::WriteAll(std::string_view bytes, Deadline deadline) {
  do {
    bytes.remove_prefix(WriteSome(bytes, deadline));
  } while (!bytes.empty());
}

Listener::Listener(Listener&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), port_(other.port_) {}

Listener::~Listener() { Close(); }

}  // namespace quilvane::platform
