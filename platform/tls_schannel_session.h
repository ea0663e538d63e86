#pragma once

// Windows only: one SChannel connection as the handshake
// (tls_schannel_handshake.cc) and the records (tls_schannel.cc) share it.
#include "platform/tls_schannel_internal.h"

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/socket.h"
#include "platform/tls.h"

namespace quilvane::platform {
namespace internal {

constexpr DWORD kContextFlags = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT |
                                ISC_REQ_CONFIDENTIALITY | ISC_REQ_EXTENDED_ERROR |
                                ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM |
                                ISC_REQ_MANUAL_CRED_VALIDATION;

// Input held before SChannel can use it: a handshake flight (certificate
// chains included) or one record. Past these the peer is not speaking TLS.
constexpr size_t kMaxHandshakeInput = 1 << 20;
constexpr size_t kMaxRecordInput = 64 << 10;

// One SChannel credentials handle; SChannel's session cache hangs on it.
// Throws TlsError(kConfig) when the system's TLS is unavailable.
struct Credentials {
  CredHandle handle{};
  Credentials();
  ~Credentials();
  Credentials(const Credentials&) = delete;
  Credentials& operator=(const Credentials&) = delete;
};

// A token SChannel allocated, freed when it goes.
struct ContextBuffer {
  SecBuffer buffer{0, SECBUFFER_TOKEN, nullptr};
  ~ContextBuffer() {
    if (buffer.pvBuffer != nullptr) FreeContextBuffer(buffer.pvBuffer);
  }
  std::string_view bytes() const {
    return {static_cast<const char*>(buffer.pvBuffer), buffer.pvBuffer ? buffer.cbBuffer : 0};
  }
};

inline TlsError ProtocolError(const std::string& what) {
  return TlsError(TlsFailure::kProtocol, "Falha no protocolo TLS: " + what);
}

}  // namespace internal

struct TlsClient::Impl {
  TlsConfig config;
  std::unique_ptr<void, internal::StoreCloser> extra_roots;
  std::shared_ptr<internal::Credentials> credentials;
};

struct TlsStream::Impl {
  std::shared_ptr<TlsClient::Impl> client;
  std::shared_ptr<internal::Credentials> credentials;  // the handle this context was made with
  Socket socket;
  std::string host;
  std::wstring target;
  CtxtHandle context{};
  bool have_context = false;
  SecPkgContext_StreamSizes sizes{};
  // Received bytes not yet decrypted: in[in_begin, in_begin + in_size).
  std::vector<char> in;
  size_t in_begin = 0;
  size_t in_size = 0;
  // Decrypted bytes not yet handed out.
  std::string plain;
  size_t plain_begin = 0;
  bool close_alert = false;
  std::vector<char> out;  // one encrypted record being sent
  TlsPeerInfo info;

  ~Impl() { DropContext(); }
  void DropContext() {
    if (have_context) DeleteSecurityContext(&context);
    have_context = false;
  }

  // Reads more bytes from the socket after what is held, at most `limit`
  // held in all. The stream's end here throws `at_end`.
  void ReadMore(size_t limit, Deadline deadline, const TlsError& at_end);
  // Keeps what SChannel left unused (SECBUFFER_EXTRA) as the next input.
  void KeepExtra(const SecBuffer& extra);

  // Drives InitializeSecurityContext until the handshake is done, with the
  // bytes already held.
  void Handshake(Deadline deadline);
  // After a handshake: TLS 1.2 or later, and the server's certificate.
  void Verify();
};

}  // namespace quilvane::platform
