#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/socket.h"
#include "transfer/buffered_socket.h"

namespace quilvane::testing {

// One accepted connection of a scripted peer. Every line it reads goes into
// the peer's transcript, so a test can assert a conversation command by
// command. Waits are short: a client that goes silent fails the script.
class PeerConnection {
 public:
  PeerConnection(platform::Socket socket, std::function<void(const std::string&)> record,
                 std::function<void(const std::string&)> fail);

  // Reads one line (CR LF dropped) and records it; "<closed>" at the end.
  std::string ReadLine();
  // Reads a line and notes a failure when it differs.
  void Expect(const std::string& line);
  // Reads the request head of an HTTP client, up to its empty line, and
  // returns it byte for byte.
  std::string ReadRequestHead();
  // Reads until the client closes; returns the bytes.
  std::string ReadToEnd();
  void Send(const std::string& bytes);
  // Whether the client closed its side within `wait`.
  bool ClientClosed(std::chrono::milliseconds wait = std::chrono::milliseconds(2000));
  void Close() { socket_.Close(); }
  platform::Socket& raw() { return socket_.socket(); }

 private:
  transfer::BufferedSocket socket_;
  std::function<void(const std::string&)> record_;
  std::function<void(const std::string&)> fail_;
};

// A loopback server that runs `script` once per accepted connection (up to
// `connections`), on its own thread.
class ScriptedPeer {
 public:
  using Script = std::function<void(PeerConnection& conn, int index)>;

  explicit ScriptedPeer(Script script, int connections = 1);
  ~ScriptedPeer();

  std::uint16_t port() const { return port_; }
  // Waits for the script to finish; then the transcript and failures are
  // final.
  void Join();
  std::vector<std::string> transcript();
  std::vector<std::string> failures();
  int accepted();

  // A data listener for a passive FTP reply, with its "(h1,h2,h3,h4,p1,p2)".
  static std::string PasvField(std::uint16_t port);

 private:
  platform::Listener listener_;
  std::uint16_t port_;
  std::thread thread_;
  std::mutex mutex_;
  std::vector<std::string> transcript_;
  std::vector<std::string> failures_;
  int accepted_ = 0;
};

}  // namespace quilvane::testing
