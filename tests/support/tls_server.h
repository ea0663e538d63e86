#pragma once

#include <openssl/ssl.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace quilvane::testing {

// The certificates of scripts/make-test-ca, made once per build tree at
// test time (ca, good, soon, other, expired, self): "<dir>/<name>.pem".
// Fails the calling test when the script fails.
const std::string& TestCaDir();
std::string TestCert(const std::string& name);  // "<dir>/<name>.pem"
std::string TestKey(const std::string& name);   // "<dir>/<name>.key"

// A TLS server on 127.0.0.1 with OpenSSL on the server side, for the peers a
// real server cannot be made to be: a stream cut mid-body, a TLS 1.0-only
// server, plain text on a TLS port. Each accepted connection runs `serve` on
// its own thread after the handshake (a failed handshake is only counted).
class TlsTestServer {
 public:
  struct Options {
    std::string cert = "good";  // a name of TestCert
    int min_version = TLS1_2_VERSION;
    int max_version = 0;  // 0: the highest
    // No TLS at all: `serve` talks clear text on the port.
    bool plain = false;
    // Sent in clear text before the handshake (an FTP server's answer to
    // AUTH TLS).
    std::string clear_text_first;

    static Options Cert(std::string name) {
      Options o;
      o.cert = std::move(name);
      return o;
    }
    static Options Versions(int min_version, int max_version) {
      Options o;
      o.min_version = min_version;
      o.max_version = max_version;
      return o;
    }
    static Options Plain() {
      Options o;
      o.plain = true;
      return o;
    }
    static Options ClearTextFirst(std::string text) {
      Options o;
      o.clear_text_first = std::move(text);
      return o;
    }
  };

  // One accepted connection, blocking, with short waits.
  class Connection {
   public:
    // Reads up to the end of an HTTP request head ("\r\n\r\n"); "" when the
    // client ended first.
    std::string ReadRequestHead();
    // Reads one line up to LF; "" at the end.
    std::string ReadLine();
    void Write(std::string_view bytes);
    // Sends the close alert, then closes.
    void CloseNotify();
    // Closes the TCP connection without a close alert: a cut stream.
    void Cut();
    bool resumed() const;

   private:
    friend class TlsTestServer;
    int fd_ = -1;
    SSL* ssl_ = nullptr;
  };

  TlsTestServer(Options options, std::function<void(Connection&)> serve);
  ~TlsTestServer();
  TlsTestServer(const TlsTestServer&) = delete;
  TlsTestServer& operator=(const TlsTestServer&) = delete;

  // Stops accepting and waits for every connection's thread.
  void Stop();

  std::uint16_t port() const { return port_; }
  int handshakes() const { return handshakes_; }  // completed ones
  int resumed() const { return resumed_; }        // of which resumed a session

 private:
  void AcceptLoop();
  void Serve(int fd);

  Options options_;
  std::function<void(Connection&)> serve_;
  SSL_CTX* ctx_ = nullptr;
  int listen_fd_ = -1;
  std::uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> handshakes_{0};
  std::atomic<int> resumed_{0};
  std::mutex mutex_;
  std::vector<std::thread> threads_;
  std::thread acceptor_;
};

}  // namespace quilvane::testing
