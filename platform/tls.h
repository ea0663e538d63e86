#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "platform/error.h"
#include "platform/socket.h"

namespace quilvane::platform {

// TLS over a connected Socket, for the FTP and HTTP clients. One
// implementation per host: OpenSSL 3 on Linux (tls_openssl.cc), the system's
// SChannel through SSPI on Windows (tls_schannel.cc). No cryptography of our
// own: the library does the handshake, the record layer and the checks.
//
// Every connection is checked: TLS 1.2 or later, a chain to a trusted root
// (the system's store plus the extra certificates of TlsConfig::ca_file),
// the host name or IP address against the certificate's names, the validity
// dates. A failure of any of these is a TlsError and no byte of application
// data has been exchanged.

// Why a TLS connection failed, for the log line an operator acts on.
enum class TlsFailure {
  kNotTrusted,    // no chain to a trusted root (self-signed, unknown CA)
  kNameMismatch,  // the certificate names another host
  kExpired,       // outside its validity dates (expired or not yet valid)
  kProtocol,      // no common protocol (below TLS 1.2), not TLS at all, bad record
  kTruncated,     // the stream ended without the peer's close alert
  kConfig,        // our own side: CertificadoCA unreadable, library missing
  kOther,
};

// A TLS failure. what() is a text for the log naming the cause (for example
// "Certificado não confiável: ...", "Certificado emitido para outro nome: ...");
// failure() tells the kind.
class TlsError : public Error {
 public:
  TlsError(TlsFailure failure, const std::string& message) : Error(message), failure_(failure) {}
  TlsFailure failure() const { return failure_; }

 private:
  TlsFailure failure_;
};

// What the client trusts. Built once from the settings (CertificadoCA).
struct TlsConfig {
  // Extra trusted certificates (PEM, one or more), added to the system's
  // store; empty: the system's store alone.
  std::string ca_file;
  // Tests on loopback trust only their own CA (false); sites always keep
  // the system's store (true).
  bool use_system_store = true;
};

// What -CHECK shows of a connection.
struct TlsPeerInfo {
  std::string protocol;  // "TLSv1.3"
  std::string subject;   // one line, e.g. "CN=www.example.com"
  std::string issuer;
  // Certificate expiry, seconds since 1970-01-01 UTC.
  std::int64_t not_after_unix = 0;
};

class TlsStream;

// The trust settings and the session cache one client shares across its
// connections: an FTP data connection resumes the control connection's
// session (servers refuse data connections that do not). Cheap to copy:
// copies share the same state. Thread-compatible (one client, one thread).
class TlsClient {
 public:
  // Loads the trust store; throws TlsError(kConfig) when ca_file cannot be
  // read or holds no certificate.
  explicit TlsClient(const TlsConfig& config);
  ~TlsClient();
  TlsClient(const TlsClient&);
  TlsClient& operator=(const TlsClient&);

  // Runs the handshake over `socket` (taken) for `host` (a name or a dotted
  // quad, checked against the certificate), within the socket's idle limit
  // and `deadline`. With `resume`, offers that connection's session (an FTP
  // data connection after its control connection). Throws TlsError, or the
  // socket's own errors (SocketError, SocketTimeoutError).
  TlsStream Connect(Socket socket, const std::string& host, Deadline deadline,
                    const TlsStream* resume = nullptr);

  struct Impl;

 private:
  std::shared_ptr<Impl> impl_;
};

// One established TLS connection. Reads and writes keep Socket's contract:
// each wait is bounded by the idle limit and the deadline.
class TlsStream {
 public:
  TlsStream();
  TlsStream(TlsStream&&) noexcept;
  TlsStream& operator=(TlsStream&&) noexcept;
  ~TlsStream();

  bool is_open() const;
  // Up to out.size() bytes of application data. 0 once the peer has sent
  // its close alert. The connection ending without that alert throws
  // TlsError(kTruncated): a cut stream is never taken for a whole one.
  size_t Read(std::span<char> out, Deadline deadline = Deadline::max());
  size_t WriteSome(std::string_view bytes, Deadline deadline = Deadline::max());
  void WriteAll(std::string_view bytes, Deadline deadline = Deadline::max());
  // Sends our close alert (waits at most until `deadline`), then closes.
  // Never throws: a peer that has gone is no failure of ours here.
  void Shutdown(Deadline deadline);
  void Close();

  TlsPeerInfo peer_info() const;
  Socket& socket();

  struct Impl;
  explicit TlsStream(std::unique_ptr<Impl> impl);

 private:
  friend class TlsClient;
  std::unique_ptr<Impl> impl_;
};

}  // namespace quilvane::platform
