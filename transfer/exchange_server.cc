#include "transfer/exchange_server.h"

#include "platform/error.h"

namespace quilvane::transfer {
namespace {

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

bool ValidHost(std::string_view host) {
  if (host.empty() || host.size() > 253) return false;
  for (unsigned char c : host) {
    if (c <= ' ' || c == 0x7f || c == '/' || c == '@' || c == ':' || c == '\\' || c == '?' ||
        c == '#' || c == '[' || c == ']') {
      return false;
    }
  }
  return true;
}

}  // namespace

std::optional<HostPort> ParseHostPort(std::string_view text, int default_port) {
  text = Trim(text);
  HostPort out;
  out.port = default_port;
  size_t colon = text.find(':');
  std::string_view host = text.substr(0, colon);
  if (!ValidHost(host)) return std::nullopt;
  out.host = std::string(host);
  if (colon != std::string_view::npos) {
    std::string_view port = text.substr(colon + 1);
    if (port.empty() || port.size() > 5) return std::nullopt;
    int value = 0;
    for (char c : port) {
      if (c < '0' || c > '9') return std::nullopt;
      value = value * 10 + (c - '0');
    }
    if (value < 1 || value > 65535) return std::nullopt;
    out.port = value;
  }
  return out;
}

ExchangeServer MakeExchangeServer(std::string_view servidor_ftp, std::string_view usuario_ftp,
                                  std::string_view dominio_web) {
  ExchangeServer server;
  if (!Trim(servidor_ftp).empty()) {
    auto parsed = ParseHostPort(servidor_ftp, kDefaultFtpPort);
    if (!parsed) {
      throw platform::Error("Valor inválido em ServidorFTP: \"" + std::string(servidor_ftp) + "\"");
    }
    server.ftp_host = parsed->host;
    server.ftp_port = parsed->port;
  }
  if (!Trim(usuario_ftp).empty()) {
    std::string_view user = Trim(usuario_ftp);
    for (unsigned char c : user) {
      if (c < ' ' || c == 0x7f) {
        throw platform::Error("Valor inválido em UsuarioFTP");
      }
    }
    server.ftp_user = std::string(user);
  }
  if (!Trim(dominio_web).empty()) {
    auto parsed = ParseHostPort(dominio_web, kDefaultWebPort);
    if (!parsed) {
      throw platform::Error("Valor inválido em DominioWeb: \"" + std::string(dominio_web) + "\"");
    }
    server.web_domain = parsed->host;
    server.web_port = parsed->port;
  }
  return server;
}

std::string WebBaseAddress(const ExchangeServer& server) {
  std::string base = "http://www." + server.web_domain;
  if (server.web_port != 80) base += ":" + std::to_string(server.web_port);
  return base;
}

std::string DownloadSource(const ExchangeServer& server, std::string_view digits) {
  return WebBaseAddress(server) + kWebPath + std::string(digits) + ".ZIP";
}

}  // namespace quilvane::transfer
