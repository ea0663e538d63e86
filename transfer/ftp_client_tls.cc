// The FTP client's TLS: AUTH TLS on the control connection (or TLS from the
// first byte), the data connections' protection, and their handshakes.
#include "transfer/ftp_client.h"

#include <algorithm>

namespace quilvane::transfer {
namespace {

std::string ReplyLine(const FtpReply& reply) {
  std::string line = std::to_string(reply.code);
  for (const std::string& text : reply.text) line += " " + text;
  return line;
}

}  // namespace

void FtpClient::set_security(FtpSecurity security, const platform::TlsConfig& config) {
  security_ = security;
  tls_config_ = config;
  tls_.reset();
}

platform::TlsClient& FtpClient::Tls() {
  if (!tls_) tls_.emplace(tls_config_);
  return *tls_;
}

std::optional<platform::TlsPeerInfo> FtpClient::tls_peer_info() const {
  if (!control_.tls()) return std::nullopt;
  return control_.tls_peer_info();
}

void FtpClient::SecureControl() {
  FtpReply auth = SendCmd("AUTH TLS", {});
  if (auth.code != 234) {
    throw platform::Error("O servidor FTP recusou AUTH TLS (" + ReplyLine(auth) +
                          "): a senha não foi enviada; confira se o servidor aceita TLS " +
                          "explícito (ftpes://) ou use ftps://");
  }
  // Whatever came after the 234 was written before TLS, by anyone on the
  // way: taken as the server's, it could answer for it.
  if (control_.buffered() > 0) {
    throw platform::Error(
        "O servidor FTP enviou dados em texto aberto depois de aceitar AUTH TLS: conexão " +
        std::string("recusada, a senha não foi enviada"));
  }
  control_.StartTls(Tls(), host_, deadline_);
}

bool FtpClient::ProtectData(bool after_login) {
  for (const char* command : {"PBSZ 0", "PROT P"}) {
    FtpReply reply = SendCmd(command, {});
    if (reply.code == 200) continue;
    if (!after_login && (reply.code == 530 || reply.code == 503)) return false;
    throw platform::Error("O servidor FTP recusou " + std::string(command) + " (" +
                          ReplyLine(reply) +
                          "): as conexões de dados não seriam protegidas; nada foi enviado");
  }
  return true;
}

void FtpClient::SecureData(BufferedSocket& data) {
  if (security_ == FtpSecurity::kNone) return;
  data.StartTls(Tls(), host_, deadline_, &control_);
}

void FtpClient::EndData(BufferedSocket& data) {
  if (security_ == FtpSecurity::kNone) return;
  // The server's own alert (and anything else it still sends) is read, so
  // that closing never resets a connection whose last bytes it has not
  // read yet.
  data.Shutdown(std::min(deadline_, platform::SteadyClock::now() + timeouts_.idle));
}

}  // namespace quilvane::transfer
