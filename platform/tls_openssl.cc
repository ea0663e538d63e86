// TLS over a Socket with OpenSSL 3. The library works on memory buffers and
// this file moves its records through Socket, so every wait keeps Socket's
// idle limit and the caller's deadline, and no second path to the network
// exists.
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <optional>
#include <utility>
#include <vector>

#include "platform/tls.h"
#include "platform/tls_openssl_internal.h"

namespace quilvane::platform {
namespace {

// One socket read takes at most this much ciphertext; a plaintext write at
// most this much (four full records).
constexpr size_t kSocketChunk = 64 * 1024;
constexpr size_t kMaxWrite = 64 * 1024;

TlsError Truncated() {
  return TlsError(TlsFailure::kTruncated,
                  "Conexão TLS cortada: terminou sem o aviso de fechamento do servidor");
}

TlsError Closed() { return TlsError(TlsFailure::kOther, "Conexão TLS inexistente"); }

}  // namespace

struct TlsClient::Impl {
  SSL_CTX* ctx = nullptr;
  ~Impl() { SSL_CTX_free(ctx); }
};

struct TlsStream::Impl {
  Socket socket;
  SSL* ssl = nullptr;
  BIO* in = nullptr;  // both owned by ssl
  BIO* out = nullptr;
  std::string host;
  internal::VerifyFailure verify;
  std::vector<char> scratch = std::vector<char>(kSocketChunk);
  bool eof = false;          // the socket reached its end
  bool peer_closed = false;  // the peer's close alert arrived
  std::optional<TlsError> failure;

  ~Impl() { SSL_free(ssl); }

  // Sends what the library has written.
  void Flush(Deadline deadline) {
    char* data = nullptr;
    const long size = BIO_get_mem_data(out, &data);
    if (size <= 0) return;
    socket.WriteAll(std::string_view(data, static_cast<size_t>(size)), deadline);
    BIO_reset(out);
  }

  void FlushQuietly(Deadline deadline) {
    try {
      Flush(deadline);
    } catch (const Error&) {
      // The peer may already have gone after its alert; our own alert is a
      // courtesy and the failure being reported is the real one.
    }
  }

  // One socket read handed to the library; at the socket's end the library
  // sees the end too, and decides whether that was a clean close.
  void Receive(Deadline deadline) {
    const size_t n = socket.Read(std::span<char>(scratch), deadline);
    if (n == 0) {
      eof = true;
      BIO_set_mem_eof_return(in, 0);
      return;
    }
    BIO_write(in, scratch.data(), static_cast<int>(n));
  }

  // The error of a read or write the library refused.
  TlsError IoError(int ssl_error) {
    const unsigned long lib = ERR_peek_last_error();
    ERR_clear_error();
    const bool eof_error = ssl_error == SSL_ERROR_SYSCALL ||
                           (ERR_GET_LIB(lib) == ERR_LIB_SSL &&
                            ERR_GET_REASON(lib) == SSL_R_UNEXPECTED_EOF_WHILE_READING);
    if (eof && eof_error) return Truncated();
    return TlsError(TlsFailure::kProtocol, "Falha no protocolo TLS: registro TLS inválido (" +
                                               internal::LibraryText(lib) + ")");
  }

  void Handshake(Deadline deadline) {
    for (;;) {
      ERR_clear_error();
      const int rc = SSL_do_handshake(ssl);
      if (rc == 1) {
        Flush(deadline);
        return;
      }
      const int error = SSL_get_error(ssl, rc);
      if (error == SSL_ERROR_WANT_READ) {
        Flush(deadline);
        Receive(deadline);
        continue;
      }
      const unsigned long lib = ERR_peek_last_error();
      ERR_clear_error();
      FlushQuietly(std::min(deadline, SteadyClock::now() + std::chrono::seconds(1)));
      if (verify.error != X509_V_OK) throw internal::VerifyError(verify, host);
      throw internal::HandshakeError(lib, eof && lib == 0);
    }
  }
};

TlsClient::TlsClient(const TlsConfig& config) : impl_(std::make_shared<Impl>()) {
  impl_->ctx = SSL_CTX_new(TLS_client_method());
  if (impl_->ctx == nullptr) {
    throw TlsError(TlsFailure::kConfig,
                   "TLS indisponível: " + internal::LibraryText(ERR_get_error()));
  }
  SSL_CTX* ctx = impl_->ctx;
  SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
  // Renegotiation would let a peer start a handshake in the middle of a
  // body; nothing here needs it.
  SSL_CTX_set_options(ctx, SSL_OP_NO_RENEGOTIATION | SSL_OP_NO_COMPRESSION);
  SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
  if (config.use_system_store && SSL_CTX_set_default_verify_paths(ctx) != 1) {
    ERR_clear_error();
  }
  if (!config.ca_file.empty()) {
    internal::AddCertificates(SSL_CTX_get_cert_store(ctx), config.ca_file);
  }
}

TlsClient::~TlsClient() = default;
TlsClient::TlsClient(const TlsClient&) = default;
TlsClient& TlsClient::operator=(const TlsClient&) = default;

TlsStream TlsClient::Connect(Socket socket, const std::string& host, Deadline deadline,
                             const TlsStream* resume) {
  // Without a name to check, any certificate of the chain's CAs would pass.
  if (host.empty()) throw TlsError(TlsFailure::kConfig, "TLS sem nome de servidor para conferir");
  auto s = std::make_unique<TlsStream::Impl>();
  s->socket = std::move(socket);
  s->host = host;
  s->ssl = SSL_new(impl_->ctx);
  s->in = BIO_new(BIO_s_mem());
  s->out = BIO_new(BIO_s_mem());
  if (s->ssl == nullptr || s->in == nullptr || s->out == nullptr) {
    BIO_free(s->in);
    BIO_free(s->out);
    throw TlsError(TlsFailure::kConfig, "TLS: sem memória");
  }
  // An empty input means "wait for the socket", not the end of the stream.
  BIO_set_mem_eof_return(s->in, -1);
  SSL_set_bio(s->ssl, s->in, s->out);

  X509_VERIFY_PARAM* param = SSL_get0_param(s->ssl);
  X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
  Ipv4Address literal;
  if (ParseIpv4(host, &literal)) {
    X509_VERIFY_PARAM_set1_ip_asc(param, host.c_str());
  } else {
    SSL_set_tlsext_host_name(s->ssl, host.c_str());
    X509_VERIFY_PARAM_set1_host(param, host.c_str(), host.size());
  }
  internal::WatchVerify(s->ssl, &s->verify);

  if (resume != nullptr && resume->impl_ != nullptr && resume->impl_->ssl != nullptr) {
    // With TLS 1.3 this is the last ticket the connection has read. The
    // library marks a session spent when a connection using it ends without
    // its close alert; a copy keeps one such data connection from spoiling
    // the session for the next ones.
    if (SSL_SESSION* session = SSL_get1_session(resume->impl_->ssl)) {
      if (SSL_SESSION_is_resumable(session) == 1) {
        if (SSL_SESSION* copy = SSL_SESSION_dup(session)) {
          SSL_set_session(s->ssl, copy);
          SSL_SESSION_free(copy);
        }
      }
      SSL_SESSION_free(session);
    }
  }
  SSL_set_connect_state(s->ssl);
  s->Handshake(deadline);
  return TlsStream(std::move(s));
}

TlsStream::TlsStream() = default;
TlsStream::TlsStream(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
TlsStream::TlsStream(TlsStream&&) noexcept = default;
TlsStream& TlsStream::operator=(TlsStream&&) noexcept = default;
TlsStream::~TlsStream() = default;

bool TlsStream::is_open() const { return impl_ != nullptr && impl_->socket.is_open(); }

Socket& TlsStream::socket() {
  if (impl_ == nullptr) throw Closed();
  return impl_->socket;
}

size_t TlsStream::Read(std::span<char> out, Deadline deadline) {
  if (impl_ == nullptr) throw Closed();
  Impl& s = *impl_;
  if (s.failure) throw *s.failure;
  if (s.peer_closed || out.empty()) return 0;
  size_t total = 0;
  // Takes every record already received, so nothing decrypted is left
  // behind where a wait on the socket would not see it.
  for (;;) {
    ERR_clear_error();
    size_t got = 0;
    const int rc = SSL_read_ex(s.ssl, out.data() + total, out.size() - total, &got);
    if (rc == 1) {
      total += got;
      if (total == out.size()) return total;
      continue;
    }
    const int error = SSL_get_error(s.ssl, rc);
    if (error == SSL_ERROR_ZERO_RETURN) {
      s.peer_closed = true;
      return total;
    }
    if (error == SSL_ERROR_WANT_READ) {
      s.Flush(deadline);
      if (total > 0) return total;
      s.Receive(deadline);
      continue;
    }
    s.failure = s.IoError(error);
    if (total > 0) return total;
    throw *s.failure;
  }
}

size_t TlsStream::WriteSome(std::string_view bytes, Deadline deadline) {
  if (impl_ == nullptr) throw Closed();
  Impl& s = *impl_;
  if (s.failure) throw *s.failure;
  if (bytes.empty()) return 0;
  for (;;) {
    ERR_clear_error();
    size_t written = 0;
    const int rc = SSL_write_ex(s.ssl, bytes.data(), std::min(bytes.size(), kMaxWrite), &written);
    if (rc == 1) {
      s.Flush(deadline);
      return written;
    }
    const int error = SSL_get_error(s.ssl, rc);
    if (error == SSL_ERROR_WANT_READ) {
      s.Flush(deadline);
      s.Receive(deadline);
      continue;
    }
    s.failure = s.IoError(error);
    throw *s.failure;
  }
}

void TlsStream::WriteAll(std::string_view bytes, Deadline deadline) {
  do {
    bytes.remove_prefix(WriteSome(bytes, deadline));
  } while (!bytes.empty());
}

void TlsStream::Shutdown(Deadline deadline) {
  if (!is_open()) return;
  Impl& s = *impl_;
  try {
    if (!s.failure) {
      ERR_clear_error();
      SSL_shutdown(s.ssl);
      ERR_clear_error();
      s.Flush(deadline);
    }
    // Records never read (session tickets) would turn the close into a
    // reset, and a reset may cost the peer the last bytes we sent. A peer
    // still reading them may send its tickets only now, so the wait lasts
    // until it closes in turn (or the deadline): an FTP upload ends so.
    while (s.socket.Read(std::span<char>(s.scratch), deadline) > 0) {
    }
  } catch (const Error&) {
    // A peer that has gone or has nothing more to say is no failure here.
  }
  Close();
}

void TlsStream::Close() {
  if (impl_ != nullptr) impl_->socket.Close();
}

TlsPeerInfo TlsStream::peer_info() const {
  if (impl_ == nullptr || impl_->ssl == nullptr) return {};
  return internal::PeerInfo(impl_->ssl);
}

}  // namespace quilvane::platform
