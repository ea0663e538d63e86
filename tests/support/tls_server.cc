#include "tests/support/tls_server.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdlib>
#include <stdexcept>

namespace quilvane::testing {
namespace {

std::string MakeCa() {
  const std::string dir = std::string(QUILVANE_TEST_CA_DIR);
  const std::string command =
      "'" + std::string(QUILVANE_SOURCE_DIR) + "/scripts/make-test-ca' '" + dir + "'";
  if (std::system(command.c_str()) != 0) {
    ADD_FAILURE() << "scripts/make-test-ca failed (needs the openssl command)";
  }
  return dir;
}

}  // namespace

const std::string& TestCaDir() {
  static const std::string dir = MakeCa();
  return dir;
}

std::string TestCert(const std::string& name) { return TestCaDir() + "/" + name + ".pem"; }
std::string TestKey(const std::string& name) { return TestCaDir() + "/" + name + ".key"; }

std::string TlsTestServer::Connection::ReadRequestHead() {
  std::string head;
  while (head.find("\r\n\r\n") == std::string::npos) {
    char c;
    int n = ssl_ ? SSL_read(ssl_, &c, 1) : static_cast<int>(::recv(fd_, &c, 1, 0));
    if (n <= 0) return "";
    head += c;
  }
  return head;
}

std::string TlsTestServer::Connection::ReadLine() {
  std::string line;
  for (;;) {
    char c;
    int n = ssl_ ? SSL_read(ssl_, &c, 1) : static_cast<int>(::recv(fd_, &c, 1, 0));
    if (n <= 0) return line;
    line += c;
    if (c == '\n') return line;
  }
}

void TlsTestServer::Connection::Write(std::string_view bytes) {
  while (!bytes.empty()) {
    int n = ssl_ ? SSL_write(ssl_, bytes.data(), static_cast<int>(bytes.size()))
                 : static_cast<int>(::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL));
    if (n <= 0) return;
    bytes.remove_prefix(static_cast<size_t>(n));
  }
}

void TlsTestServer::Connection::CloseNotify() {
  if (ssl_) SSL_shutdown(ssl_);
  Cut();
}

void TlsTestServer::Connection::Cut() {
  if (fd_ >= 0) {
    ::shutdown(fd_, SHUT_RDWR);
    ::close(fd_);
    fd_ = -1;
  }
}

bool TlsTestServer::Connection::resumed() const {
  return ssl_ != nullptr && SSL_session_reused(ssl_) == 1;
}

TlsTestServer::TlsTestServer(Options options, std::function<void(Connection&)> serve)
    : options_(std::move(options)), serve_(std::move(serve)) {
  // OpenSSL writes with write(): a client that has gone must not end the
  // test binary.
  ::signal(SIGPIPE, SIG_IGN);
  if (!options_.plain) {
    ctx_ = SSL_CTX_new(TLS_server_method());
    if (options_.min_version < TLS1_2_VERSION) {
      // OpenSSL keeps TLS 1.0 and 1.1 off below security level 0.
      SSL_CTX_set_security_level(ctx_, 0);
      SSL_CTX_set_cipher_list(ctx_, "DEFAULT:@SECLEVEL=0");
    }
    SSL_CTX_set_min_proto_version(ctx_, options_.min_version);
    SSL_CTX_set_max_proto_version(ctx_, options_.max_version);
    static const unsigned char kContext[] = "quilvane-test";
    SSL_CTX_set_session_id_context(ctx_, kContext, sizeof kContext - 1);
    if (SSL_CTX_use_certificate_chain_file(ctx_, TestCert(options_.cert).c_str()) != 1 ||
        SSL_CTX_use_PrivateKey_file(ctx_, TestKey(options_.cert).c_str(), SSL_FILETYPE_PEM) != 1) {
      throw std::runtime_error("test certificate " + options_.cert + " unusable");
    }
  }
  listen_fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int one = 1;
  ::setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in sin{};
  sin.sin_family = AF_INET;
  sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(listen_fd_, reinterpret_cast<sockaddr*>(&sin), sizeof sin) != 0 ||
      ::listen(listen_fd_, 16) != 0) {
    throw std::runtime_error("test TLS server cannot listen");
  }
  socklen_t len = sizeof sin;
  ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&sin), &len);
  port_ = ntohs(sin.sin_port);
  acceptor_ = std::thread([this] { AcceptLoop(); });
}

void TlsTestServer::Stop() {
  stop_ = true;
  if (acceptor_.joinable()) acceptor_.join();
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto& t : threads_) t.join();
  threads_.clear();
}

TlsTestServer::~TlsTestServer() {
  Stop();
  ::close(listen_fd_);
  SSL_CTX_free(ctx_);
}

void TlsTestServer::AcceptLoop() {
  while (!stop_) {
    pollfd p{listen_fd_, POLLIN, 0};
    if (::poll(&p, 1, 50) <= 0) continue;
    int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    // No test waits long on a peer; a stuck client ends its thread.
    timeval tv{10, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    std::lock_guard<std::mutex> lock(mutex_);
    threads_.emplace_back([this, fd] { Serve(fd); });
  }
}

void TlsTestServer::Serve(int fd) {
  Connection conn;
  conn.fd_ = fd;
  conn.Write(options_.clear_text_first);
  if (ctx_ != nullptr) {
    conn.ssl_ = SSL_new(ctx_);
    SSL_set_fd(conn.ssl_, fd);
    if (SSL_accept(conn.ssl_) != 1) {
      SSL_free(conn.ssl_);
      conn.ssl_ = nullptr;
      conn.Cut();
      return;
    }
    ++handshakes_;
    if (conn.resumed()) ++resumed_;
  }
  serve_(conn);
  if (conn.fd_ >= 0) conn.CloseNotify();
  SSL_free(conn.ssl_);
}

}  // namespace quilvane::testing
