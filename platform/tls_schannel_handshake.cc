// TLS on Windows, the handshake: the system's SChannel through SSPI,
// nothing to ship. SChannel resumes a session when a connection uses the
// same credentials handle and target name as an earlier one, so a client
// keeps one handle for all its connections: an FTP data connection resumes
// its control connection's session.
#include "platform/tls_schannel_session.h"
// clang-format off
#include "platform/wide_windows.h"
// clang-format on

#include <memory>
#include <utility>

namespace quilvane::platform {
namespace internal {

// TLS 1.2 alone through SCHANNEL_CRED: the TLS 1.3 bit there is refused by
// the Windows versions that cannot do it, and TLS 1.2 meets the floor.
constexpr DWORD kProtocols = SP_PROT_TLS1_2_CLIENT;

Credentials::Credentials() {
  SCHANNEL_CRED cred{};
  cred.dwVersion = SCHANNEL_CRED_VERSION;
  cred.grbitEnabledProtocols = kProtocols;
  // Our own checks (the machine's store plus CertificadoCA), no client
  // certificate, no revocation look-ups a branch may not reach.
  cred.dwFlags =
      SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS | SCH_USE_STRONG_CRYPTO;
  wchar_t package[] = UNISP_NAME_W;
  TimeStamp expiry;
  const SECURITY_STATUS st = AcquireCredentialsHandleW(
      nullptr, package, SECPKG_CRED_OUTBOUND, nullptr, &cred, nullptr, nullptr, &handle, &expiry);
  if (st != SEC_E_OK) {
    throw TlsError(TlsFailure::kConfig, "TLS do sistema indisponível: " + StatusText(st));
  }
}

Credentials::~Credentials() { FreeCredentialsHandle(&handle); }

}  // namespace internal

namespace {

using internal::ContextBuffer;
using internal::Credentials;
using internal::kContextFlags;
using internal::kMaxHandshakeInput;
using internal::kMaxRecordInput;
using internal::ProtocolError;
using internal::StatusText;

std::string ProtocolName(DWORD protocol) {
  if (protocol & SP_PROT_TLS1_3_CLIENT) return "TLSv1.3";
  if (protocol & SP_PROT_TLS1_2_CLIENT) return "TLSv1.2";
  if (protocol & SP_PROT_TLS1_1_CLIENT) return "TLSv1.1";
  if (protocol & SP_PROT_TLS1_0_CLIENT) return "TLSv1";
  return "SSL";
}

// The handshake's failures: an old protocol, or a peer that is not TLS.
TlsError HandshakeError(SECURITY_STATUS st) {
  if (st == SEC_E_ALGORITHM_MISMATCH || st == SEC_E_UNSUPPORTED_FUNCTION) {
    return ProtocolError("o servidor não negocia TLS 1.2 ou posterior: " + StatusText(st));
  }
  return ProtocolError("negociação recusada ou resposta que não é TLS: " + StatusText(st));
}

}  // namespace

// Drives InitializeSecurityContext until the handshake is done: the first
// call makes the ClientHello, later ones take what the server sent. Also
// serves a renegotiation (and TLS 1.3's messages after the handshake), with
// the bytes already held.
void TlsStream::Impl::Handshake(Deadline deadline) {
  const TlsError closed = ProtocolError("o servidor fechou a conexão durante a negociação TLS");
  bool asked_for_certificate = false;
  for (;;) {
    SecBuffer in_buffers[2] = {
        {static_cast<unsigned long>(in_size), SECBUFFER_TOKEN, in.data() + in_begin},
        {0, SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc in_desc{SECBUFFER_VERSION, 2, in_buffers};
    ContextBuffer token;
    SecBufferDesc out_desc{SECBUFFER_VERSION, 1, &token.buffer};
    unsigned long attributes = 0;
    const bool first = !have_context;
    const SECURITY_STATUS st = InitializeSecurityContextW(
        &credentials->handle, first ? nullptr : &context, target.data(), kContextFlags, 0, 0,
        first ? nullptr : &in_desc, 0, first ? &context : nullptr, &out_desc, &attributes, nullptr);
    if (first && (st == SEC_E_OK || st == SEC_I_CONTINUE_NEEDED)) have_context = true;
    // A token goes out even with a failure: it is then the alert that
    // tells the server why.
    if (!token.bytes().empty()) {
      if (st == SEC_E_OK || st == SEC_I_CONTINUE_NEEDED) {
        socket.WriteAll(token.bytes(), deadline);
      } else {
        try {
          socket.WriteAll(token.bytes(), deadline);
        } catch (const Error&) {
        }
      }
    }
    if (st == SEC_E_INCOMPLETE_MESSAGE) {
      ReadMore(kMaxHandshakeInput, deadline, closed);
      continue;
    }
    if (st == SEC_I_INCOMPLETE_CREDENTIALS && !asked_for_certificate) {
      // The server asks for a client certificate; we have none to give.
      asked_for_certificate = true;
      continue;
    }
    if (st != SEC_E_OK && st != SEC_I_CONTINUE_NEEDED) throw HandshakeError(st);
    if (first) {
      in_begin = 0;
      in_size = 0;
    } else {
      KeepExtra(in_buffers[1]);
    }
    if (st == SEC_E_OK) return;
    if (in_size == 0) ReadMore(kMaxHandshakeInput, deadline, closed);
  }
}

void TlsStream::Impl::Verify() {
  SecPkgContext_ConnectionInfo connection{};
  SECURITY_STATUS st = QueryContextAttributesW(&context, SECPKG_ATTR_CONNECTION_INFO, &connection);
  if (st != SEC_E_OK) throw ProtocolError(StatusText(st));
  const DWORD old_protocols =
      SP_PROT_SSL2_CLIENT | SP_PROT_SSL3_CLIENT | SP_PROT_TLS1_0_CLIENT | SP_PROT_TLS1_1_CLIENT;
  if (connection.dwProtocol & old_protocols) {
    throw ProtocolError("o servidor negociou " + ProtocolName(connection.dwProtocol) +
                        "; o mínimo é TLS 1.2");
  }
  PCCERT_CONTEXT cert = nullptr;
  st = QueryContextAttributesW(&context, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &cert);
  if (st != SEC_E_OK || cert == nullptr) {
    throw TlsError(TlsFailure::kNotTrusted,
                   "Certificado não confiável: o servidor não apresentou certificado");
  }
  std::unique_ptr<const CERT_CONTEXT, decltype(&CertFreeCertificateContext)> owned(
      cert, &CertFreeCertificateContext);
  info = internal::DescribeCertificate(cert);
  info.protocol = ProtocolName(connection.dwProtocol);
  internal::CheckServerCertificate(cert, static_cast<HCERTSTORE>(client->extra_roots.get()),
                                   client->config.use_system_store, host);
  st = QueryContextAttributesW(&context, SECPKG_ATTR_STREAM_SIZES, &sizes);
  if (st != SEC_E_OK) throw ProtocolError(StatusText(st));
  if (sizes.cbMaximumMessage == 0 || sizes.cbMaximumMessage > kMaxRecordInput ||
      sizes.cbHeader > 1024 || sizes.cbTrailer > 1024) {
    throw ProtocolError("tamanhos de registro inesperados");
  }
}

TlsClient::TlsClient(const TlsConfig& config) : impl_(std::make_shared<Impl>()) {
  impl_->config = config;
  if (!config.ca_file.empty())
    impl_->extra_roots.reset(internal::LoadPemCertificates(config.ca_file));
  impl_->credentials = std::make_shared<Credentials>();
}

TlsClient::~TlsClient() = default;
TlsClient::TlsClient(const TlsClient&) = default;
TlsClient& TlsClient::operator=(const TlsClient&) = default;

TlsStream TlsClient::Connect(Socket socket, const std::string& host, Deadline deadline,
                             const TlsStream* resume) {
  // The session cache is keyed on the credentials and the target name: the
  // resumed connection names the host its session was made with.
  const std::string& target =
      resume != nullptr && resume->impl_ != nullptr ? resume->impl_->host : host;
  auto s = std::make_unique<TlsStream::Impl>();
  s->client = impl_;
  s->credentials = impl_->credentials;
  s->socket = std::move(socket);
  s->host = host;
  s->target = Widen(target);
  try {
    s->Handshake(deadline);
    s->Verify();
  } catch (const TlsError& e) {
    // A session that failed its checks must never be resumed: later
    // connections get a fresh handle, and so a fresh cache.
    if (e.failure() != TlsFailure::kProtocol) {
      try {
        impl_->credentials = std::make_shared<Credentials>();
      } catch (const TlsError&) {
        // Kept as they were; the failure to report is the first one.
      }
    }
    throw;
  }
  return TlsStream(std::move(s));
}

}  // namespace quilvane::platform
