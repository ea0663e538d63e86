#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace quilvane::testing {

// A fault-injecting TCP proxy on a loopback address other than the
// server's, between the Firebird client and the real server. It forwards
// bytes both ways and, on request, drops every connection at once or
// refuses service by closing each connection as soon as it is accepted.
class TcpProxy {
 public:
  enum class Mode {
    kForward,
    kCloseOnAccept,      // the client reads "connection rejected"
    kCloseAfterRequest,  // reads the client's first packet, then closes
    kDropSecondRequest,  // forwards the handshake, closes at the client's next packet
  };

  // Listens on the first free 127.0.0.N (N from 2) at `listen_port` (0: any
  // port) and forwards to target_host:target_port.
  TcpProxy(int listen_port, const std::string& target_host, int target_port);
  ~TcpProxy();
  TcpProxy(const TcpProxy&) = delete;
  TcpProxy& operator=(const TcpProxy&) = delete;

  const std::string& host() const { return host_; }
  int port() const { return port_; }
  // Connections accepted so far.
  int accepted() const { return accepted_.load(); }
  void set_mode(Mode mode) { mode_.store(mode); }
  // Closes every open connection (both sides) and returns once they are.
  void DropAll();

 private:
  void Loop();
  void Wake();

  std::string host_;
  int port_ = 0;
  std::string target_host_;
  int target_port_;
  int listen_fd_ = -1;
  int wake_[2] = {-1, -1};
  std::atomic<int> accepted_{0};
  std::atomic<Mode> mode_{Mode::kForward};
  std::atomic<bool> stop_{false};
  std::atomic<int> drop_requests_{0};
  std::atomic<int> drops_done_{0};
  std::thread thread_;
};

}  // namespace quilvane::testing
