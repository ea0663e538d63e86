// TLS on Windows: the system's SChannel through SSPI, nothing to ship. The
// socket stays ours (non-blocking, every wait bounded by its idle limit and
// the caller's deadline); SChannel only turns records into bytes and back.
// SChannel resumes a session when a connection uses the same credentials
// handle and target name as an earlier one, so a client keeps one handle
// for all its connections: an FTP data connection resumes its control
// connection's session.
#include "platform/tls_schannel_internal.h"
// clang-format off
#include "platform/wide_windows.h"
// clang-format on

#include <algorithm>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

namespace quilvane::platform {
namespace {

using internal::StatusText;

// TLS 1.2 alone through SCHANNEL_CRED: the TLS 1.3 bit there is refused by
// the Windows versions that cannot do it, and TLS 1.2 meets the floor.
constexpr DWORD kProtocols = SP_PROT_TLS1_2_CLIENT;

constexpr DWORD kContextFlags = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT |
                                ISC_REQ_CONFIDENTIALITY | ISC_REQ_EXTENDED_ERROR |
                                ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM |
                                ISC_REQ_MANUAL_CRED_VALIDATION;

// Input held before SChannel can use it: a handshake flight (certificate
// chains included) or one record. Past these the peer is not speaking TLS.
constexpr size_t kMaxHandshakeInput = 1 << 20;
constexpr size_t kMaxRecordInput = 64 << 10;
constexpr size_t kReadChunk = 32 << 10;

constexpr unsigned char kAlertRecord = 21;

// One SChannel credentials handle; SChannel's session cache hangs on it.
struct Credentials {
  CredHandle handle{};
  Credentials() {
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
  ~Credentials() { FreeCredentialsHandle(&handle); }
  Credentials(const Credentials&) = delete;
  Credentials& operator=(const Credentials&) = delete;
};

std::string ProtocolName(DWORD protocol) {
  if (protocol & SP_PROT_TLS1_3_CLIENT) return "TLSv1.3";
  if (protocol & SP_PROT_TLS1_2_CLIENT) return "TLSv1.2";
  if (protocol & SP_PROT_TLS1_1_CLIENT) return "TLSv1.1";
  if (protocol & SP_PROT_TLS1_0_CLIENT) return "TLSv1";
  return "SSL";
}

TlsError ProtocolError(const std::string& what) {
  return TlsError(TlsFailure::kProtocol, "Falha no protocolo TLS: " + what);
}

// The handshake's failures: an old protocol, or a peer that is not TLS.
TlsError HandshakeError(SECURITY_STATUS st) {
  if (st == SEC_E_ALGORITHM_MISMATCH || st == SEC_E_UNSUPPORTED_FUNCTION) {
    return ProtocolError("o servidor não negocia TLS 1.2 ou posterior: " + StatusText(st));
  }
  return ProtocolError("negociação recusada ou resposta que não é TLS: " + StatusText(st));
}

struct ContextBuffer {
  SecBuffer buffer{0, SECBUFFER_TOKEN, nullptr};
  ~ContextBuffer() {
    if (buffer.pvBuffer != nullptr) FreeContextBuffer(buffer.pvBuffer);
  }
  std::string_view bytes() const {
    return {static_cast<const char*>(buffer.pvBuffer), buffer.pvBuffer ? buffer.cbBuffer : 0};
  }
};

}  // namespace

struct TlsClient::Impl {
  TlsConfig config;
  std::unique_ptr<void, internal::StoreCloser> extra_roots;
  std::shared_ptr<Credentials> credentials;
};

struct TlsStream::Impl {
  std::shared_ptr<TlsClient::Impl> client;
  std::shared_ptr<Credentials> credentials;  // the handle this context was made with
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
  void ReadMore(size_t limit, Deadline deadline, const TlsError& at_end) {
    if (in_begin > 0) {
      std::memmove(in.data(), in.data() + in_begin, in_size);
      in_begin = 0;
    }
    if (in_size >= limit) throw ProtocolError("registro grande demais");
    if (in.size() < std::min(limit, in_size + kReadChunk)) {
      in.resize(std::min(limit, in_size + kReadChunk));
    }
    const size_t n =
        socket.Read(std::span<char>(in.data() + in_size, in.size() - in_size), deadline);
    if (n == 0) throw at_end;
    in_size += n;
  }

  // Keeps what SChannel left unused (SECBUFFER_EXTRA) as the next input.
  void KeepExtra(const SecBuffer& extra) {
    if (extra.BufferType == SECBUFFER_EXTRA && extra.cbBuffer > 0 && extra.cbBuffer <= in_size) {
      in_begin += in_size - extra.cbBuffer;
      in_size = extra.cbBuffer;
    } else {
      in_begin = 0;
      in_size = 0;
    }
  }

  void Handshake(Deadline deadline);
  void Verify();
};

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

// After a handshake: TLS 1.2 or later, and the server's certificate.
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

TlsStream::TlsStream() = default;
TlsStream::TlsStream(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
TlsStream::TlsStream(TlsStream&&) noexcept = default;
TlsStream& TlsStream::operator=(TlsStream&&) noexcept = default;
TlsStream::~TlsStream() = default;

bool TlsStream::is_open() const {
  return impl_ != nullptr && impl_->have_context && impl_->socket.is_open();
}

size_t TlsStream::Read(std::span<char> out, Deadline deadline) {
  if (!is_open()) throw TlsError(TlsFailure::kOther, "Conexão TLS já fechada");
  Impl& s = *impl_;
  const TlsError cut(TlsFailure::kTruncated,
                     "Conexão TLS cortada: terminou sem o aviso de fechamento do servidor");
  for (;;) {
    if (s.plain_begin < s.plain.size()) {
      const size_t n = std::min(out.size(), s.plain.size() - s.plain_begin);
      std::memcpy(out.data(), s.plain.data() + s.plain_begin, n);
      s.plain_begin += n;
      return n;
    }
    if (s.close_alert) return 0;
    if (out.empty()) return 0;
    if (s.in_size > 0) {
      // The record's type travels in clear (TLS 1.2): see the close below.
      const auto record_type = static_cast<unsigned char>(s.in[s.in_begin]);
      SecBuffer buffers[4] = {
          {static_cast<unsigned long>(s.in_size), SECBUFFER_DATA, s.in.data() + s.in_begin},
          {0, SECBUFFER_EMPTY, nullptr},
          {0, SECBUFFER_EMPTY, nullptr},
          {0, SECBUFFER_EMPTY, nullptr}};
      SecBufferDesc desc{SECBUFFER_VERSION, 4, buffers};
      const SECURITY_STATUS st = DecryptMessage(&s.context, &desc, 0, nullptr);
      if (st == SEC_E_OK || st == SEC_I_CONTEXT_EXPIRED || st == SEC_I_RENEGOTIATE) {
        s.plain.clear();
        s.plain_begin = 0;
        SecBuffer extra{0, SECBUFFER_EMPTY, nullptr};
        for (const SecBuffer& b : buffers) {
          if (b.BufferType == SECBUFFER_DATA && b.cbBuffer > 0) {
            s.plain.assign(static_cast<const char*>(b.pvBuffer), b.cbBuffer);
          }
          if (b.BufferType == SECBUFFER_EXTRA) extra = b;
        }
        s.KeepExtra(extra);
        // Windows tells the peer's close alert by SEC_I_CONTEXT_EXPIRED; Wine
        // by an alert record that yields no data. Other alerts a TLS 1.2
        // peer may send without failing the record (user_canceled) come
        // just before its close anyway.
        if (st == SEC_I_CONTEXT_EXPIRED || (s.plain.empty() && record_type == kAlertRecord)) {
          s.close_alert = true;
        }
        if (st == SEC_I_RENEGOTIATE) {
          s.Handshake(deadline);
          s.Verify();
        }
        continue;
      }
      if (st != SEC_E_INCOMPLETE_MESSAGE) {
        throw ProtocolError("registro TLS inválido: " + StatusText(st));
      }
    }
    s.ReadMore(kMaxRecordInput, deadline, cut);
  }
}

size_t TlsStream::WriteSome(std::string_view bytes, Deadline deadline) {
  if (!is_open()) throw TlsError(TlsFailure::kOther, "Conexão TLS já fechada");
  if (bytes.empty()) return 0;
  Impl& s = *impl_;
  const size_t n = std::min<size_t>(bytes.size(), s.sizes.cbMaximumMessage);
  s.out.resize(s.sizes.cbHeader + n + s.sizes.cbTrailer);
  std::memcpy(s.out.data() + s.sizes.cbHeader, bytes.data(), n);
  SecBuffer buffers[4] = {
      {s.sizes.cbHeader, SECBUFFER_STREAM_HEADER, s.out.data()},
      {static_cast<unsigned long>(n), SECBUFFER_DATA, s.out.data() + s.sizes.cbHeader},
      {s.sizes.cbTrailer, SECBUFFER_STREAM_TRAILER, s.out.data() + s.sizes.cbHeader + n},
      {0, SECBUFFER_EMPTY, nullptr}};
  SecBufferDesc desc{SECBUFFER_VERSION, 4, buffers};
  const SECURITY_STATUS st = EncryptMessage(&s.context, 0, &desc, 0);
  if (st != SEC_E_OK) throw TlsError(TlsFailure::kOther, "Falha ao cifrar: " + StatusText(st));
  // The record is sent whole: the trailer may be shorter than reserved.
  const size_t total = buffers[0].cbBuffer + buffers[1].cbBuffer + buffers[2].cbBuffer;
  if (total > s.out.size()) throw TlsError(TlsFailure::kOther, "Falha ao cifrar: registro maior");
  if (buffers[1].pvBuffer != s.out.data() + buffers[0].cbBuffer ||
      buffers[2].pvBuffer != s.out.data() + buffers[0].cbBuffer + buffers[1].cbBuffer) {
    // SChannel writes in place; anything else is not a layout we can send.
    throw TlsError(TlsFailure::kOther, "Falha ao cifrar: registro fora do lugar");
  }
  s.socket.WriteAll(std::string_view(s.out.data(), total), deadline);
  return n;
}

void TlsStream::WriteAll(std::string_view bytes, Deadline deadline) {
  while (!bytes.empty()) bytes.remove_prefix(WriteSome(bytes, deadline));
}

void TlsStream::Shutdown(Deadline deadline) {
  if (is_open()) {
    Impl& s = *impl_;
    try {
      DWORD type = SCHANNEL_SHUTDOWN;
      SecBuffer control{sizeof type, SECBUFFER_TOKEN, &type};
      SecBufferDesc control_desc{SECBUFFER_VERSION, 1, &control};
      if (ApplyControlToken(&s.context, &control_desc) == SEC_E_OK) {
        ContextBuffer token;
        SecBufferDesc out_desc{SECBUFFER_VERSION, 1, &token.buffer};
        unsigned long attributes = 0;
        const SECURITY_STATUS st = InitializeSecurityContextW(
            &s.credentials->handle, &s.context, s.target.data(), kContextFlags, 0, 0, nullptr, 0,
            nullptr, &out_desc, &attributes, nullptr);
        if ((st == SEC_E_OK || st == SEC_I_CONTEXT_EXPIRED) && !token.bytes().empty()) {
          s.socket.WriteAll(token.bytes(), deadline);
        }
      }
    } catch (const Error&) {
      // The peer has gone: nothing left to tell it.
    }
  }
  Close();
}

void TlsStream::Close() {
  if (impl_ == nullptr) return;
  impl_->DropContext();
  impl_->socket.Close();
}

TlsPeerInfo TlsStream::peer_info() const { return impl_ ? impl_->info : TlsPeerInfo{}; }

Socket& TlsStream::socket() {
  if (impl_ == nullptr) throw TlsError(TlsFailure::kOther, "Conexão TLS inexistente");
  return impl_->socket;
}

}  // namespace quilvane::platform
