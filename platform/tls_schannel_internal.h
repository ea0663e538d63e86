#pragma once

// Windows only: what the SChannel connection code (tls_schannel.cc) and the
// certificate checks (tls_schannel_check.cc) share.
// clang-format off
#include <winsock2.h>
#include <windows.h>
#include <wincrypt.h>
#define SECURITY_WIN32
#include <security.h>
#include <schannel.h>
// clang-format on

#include <string>

#include "platform/tls.h"

namespace quilvane::platform::internal {

// Closes a certificate store when it goes.
struct StoreCloser {
  void operator()(void* store) const { CertCloseStore(static_cast<HCERTSTORE>(store), 0); }
};

// The certificates of a PEM file (CertificadoCA) in a memory store. Throws
// TlsError(kConfig) when the file cannot be read or holds no certificate.
HCERTSTORE LoadPemCertificates(const std::string& path);

// What -CHECK shows of a certificate; `protocol` is left empty.
TlsPeerInfo DescribeCertificate(PCCERT_CONTEXT cert);

// Checks the server's certificate (with the intermediates it sent, in its
// own store) for `host`: a chain to a trusted root (the machine's store when
// `use_system_store`, and the certificates of `extra_roots`, which may be
// null), the validity dates, the name or IP address. Throws TlsError naming
// the cause.
void CheckServerCertificate(PCCERT_CONTEXT cert, HCERTSTORE extra_roots, bool use_system_store,
                            const std::string& host);

// "<system text> (0x80090308)" for an SSPI or CryptoAPI status.
std::string StatusText(long status);

}  // namespace quilvane::platform::internal
