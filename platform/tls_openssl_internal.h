#pragma once

// What the OpenSSL files share: the certificate checks' outcome turned into
// the operator's texts, the trust store's loading and the peer's details.
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <string>

#include "platform/tls.h"

namespace quilvane::platform::internal {

// The first failure the chain check met, kept by the verify callback while
// the handshake runs (OpenSSL reports only "certificate verify failed").
struct VerifyFailure {
  int error = X509_V_OK;
  std::string subject;  // the server's own certificate
  std::string issuer;
  std::string not_before;  // "DD/MM/YYYY"
  std::string not_after;
};

// Installs the callback that fills `failure` on `ssl`.
void WatchVerify(SSL* ssl, VerifyFailure* failure);

// The TlsError of a handshake that the certificate check stopped.
TlsError VerifyError(const VerifyFailure& failure, const std::string& host);

// The TlsError of a handshake that failed for any other reason: `detail` is
// what the library said; `peer_closed` when the server ended the connection.
TlsError HandshakeError(unsigned long library_error, bool peer_closed);

// The library's text for its error code ("wrong version number").
std::string LibraryText(unsigned long library_error);

// Adds the PEM certificates of `path` to `store`. Throws TlsError(kConfig)
// when the file cannot be read, is too large, or holds no certificate.
void AddCertificates(X509_STORE* store, const std::string& path);

// "CN=www.example.com, O=Example": most specific first, UTF-8.
std::string NameText(const X509_NAME* name);

// What -CHECK shows of an established connection.
TlsPeerInfo PeerInfo(SSL* ssl);

}  // namespace quilvane::platform::internal
