#include "tests/db/tcp_proxy.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <stdexcept>

namespace quilvane::testing {
namespace {

sockaddr_in Address(const std::string& host, int port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  inet_pton(AF_INET, host.c_str(), &a.sin_addr);
  return a;
}

struct Pair {
  int client;
  int server;
  bool drop_second = false;
  int client_packets = 0;
};

void ClosePair(const Pair& p) {
  shutdown(p.client, SHUT_RDWR);
  shutdown(p.server, SHUT_RDWR);
  close(p.client);
  close(p.server);
}

// Moves what is readable on `from` to `to`; false when either side ended.
bool Pump(int from, int to) {
  char buf[16384];
  const ssize_t n = read(from, buf, sizeof buf);
  if (n <= 0) return false;
  for (ssize_t off = 0; off < n;) {
    const ssize_t w = write(to, buf + off, static_cast<size_t>(n - off));
    if (w <= 0) return false;
    off += w;
  }
  return true;
}

}  // namespace

TcpProxy::TcpProxy(int listen_port, const std::string& target_host, int target_port)
    : target_host_(target_host), target_port_(target_port) {
  for (int n = 2; n < 250 && listen_fd_ < 0; ++n) {
    const std::string host = "127.0.0." + std::to_string(n);
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a = Address(host, listen_port);
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 && listen(fd, 16) == 0) {
      socklen_t len = sizeof a;
      getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
      listen_fd_ = fd;
      host_ = host;
      port_ = ntohs(a.sin_port);
    } else {
      close(fd);
    }
  }
  if (listen_fd_ < 0) throw std::runtime_error("TcpProxy: no free loopback address");
  if (pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) throw std::runtime_error("TcpProxy: pipe");
  thread_ = std::thread([this] { Loop(); });
}

TcpProxy::~TcpProxy() {
  stop_ = true;
  Wake();
  thread_.join();
  close(listen_fd_);
  close(wake_[0]);
  close(wake_[1]);
}

void TcpProxy::Wake() {
  const char c = 1;
  (void)!write(wake_[1], &c, 1);
}

void TcpProxy::DropAll() {
  const int target = ++drop_requests_;
  Wake();
  while (drops_done_.load() < target) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

void TcpProxy::Loop() {
  std::vector<Pair> pairs;
  while (!stop_) {
    if (drops_done_.load() < drop_requests_.load()) {
      for (const Pair& p : pairs) ClosePair(p);
      pairs.clear();
      drops_done_.store(drop_requests_.load());
    }
    std::vector<pollfd> fds;
    fds.push_back({wake_[0], POLLIN, 0});
    fds.push_back({listen_fd_, POLLIN, 0});
    for (const Pair& p : pairs) {
      fds.push_back({p.client, POLLIN, 0});
      fds.push_back({p.server, POLLIN, 0});
    }
    if (poll(fds.data(), fds.size(), 1000) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (fds[0].revents != 0) {
      char buf[64];
      while (read(wake_[0], buf, sizeof buf) > 0) {
      }
    }
    const size_t polled = pairs.size();
    if (fds[1].revents & POLLIN) {
      const int client = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (client >= 0) {
        ++accepted_;
        const Mode mode = mode_.load();
        if (mode == Mode::kCloseOnAccept) {
          close(client);
        } else if (mode == Mode::kCloseAfterRequest) {
          timeval timeout{2, 0};
          setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
          char buf[4096];
          (void)!read(client, buf, sizeof buf);
          shutdown(client, SHUT_RDWR);
          close(client);
        } else {
          const int server = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
          sockaddr_in a = Address(target_host_, target_port_);
          if (connect(server, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
            pairs.push_back({client, server, mode == Mode::kDropSecondRequest, 0});
          } else {
            close(server);
            close(client);
          }
        }
      }
    }
    std::vector<Pair> alive;
    for (size_t i = 0; i < polled; ++i) {
      const pollfd& c = fds[2 + 2 * i];
      const pollfd& s = fds[3 + 2 * i];
      bool ok = true;
      if (c.revents != 0) {
        if (pairs[i].drop_second && ++pairs[i].client_packets == 2) {
          ok = false;
        } else {
          ok = Pump(pairs[i].client, pairs[i].server);
        }
      }
      if (ok && s.revents != 0) ok = Pump(pairs[i].server, pairs[i].client);
      if (ok) {
        alive.push_back(pairs[i]);
      } else {
        ClosePair(pairs[i]);
      }
    }
    for (size_t i = polled; i < pairs.size(); ++i) alive.push_back(pairs[i]);
    pairs.swap(alive);
  }
  for (const Pair& p : pairs) ClosePair(p);
}

}  // namespace quilvane::testing
