#include "transfer/exchange_server.h"

#include <cstddef>
#include <optional>
#include <string_view>
#include <utility>

#include "platform/error.h"
#include "platform/text.h"

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

bool HasControlCharacter(std::string_view text) {
  for (unsigned char c : text) {
    if (c < ' ' || c == 0x7f) return true;
  }
  return false;
}

// An address of the settings: one of `schemes`' prefixes (any case), then
// host[:port] with that scheme's default port; or a bare host[:port], which
// is `bare`. A single "/" may end an address written with a scheme, as a URL
// often is.
template <typename Kind>
struct Scheme {
  std::string_view prefix;
  Kind kind;
  int default_port;
};
template <typename Kind, std::size_t N>
std::optional<std::pair<Kind, HostPort>> ParseSchemedAddress(std::string_view text,
                                                             const Scheme<Kind> (&schemes)[N],
                                                             Kind bare, int bare_port) {
  text = Trim(text);
  for (const Scheme<Kind>& scheme : schemes) {
    if (text.size() < scheme.prefix.size() ||
        !platform::EqualsIgnoreAsciiCase(text.substr(0, scheme.prefix.size()), scheme.prefix)) {
      continue;
    }
    std::string_view rest = text.substr(scheme.prefix.size());
    if (!rest.empty() && rest.back() == '/') rest.remove_suffix(1);
    auto parsed = ParseHostPort(rest, scheme.default_port);
    if (!parsed || rest != Trim(rest)) return std::nullopt;
    return std::make_pair(scheme.kind, *parsed);
  }
  auto parsed = ParseHostPort(text, bare_port);
  if (!parsed) return std::nullopt;
  return std::make_pair(bare, *parsed);
}

// "ServidorFTP".
std::optional<std::pair<FtpSecurity, HostPort>> ParseFtpServer(std::string_view text) {
  static constexpr Scheme<FtpSecurity> kSchemes[] = {
      {"ftp://", FtpSecurity::kNone, kDefaultFtpPort},
      {"ftpes://", FtpSecurity::kExplicit, kDefaultFtpPort},
      {"ftps://", FtpSecurity::kImplicit, kDefaultImplicitFtpsPort},
  };
  return ParseSchemedAddress(text, kSchemes, FtpSecurity::kNone, kDefaultFtpPort);
}

// "DominioWeb".
std::optional<std::pair<WebScheme, HostPort>> ParseWebDomain(std::string_view text) {
  static constexpr Scheme<WebScheme> kSchemes[] = {
      {"http://", WebScheme::kHttp, kDefaultWebPort},
      {"https://", WebScheme::kHttps, kDefaultHttpsPort},
  };
  return ParseSchemedAddress(text, kSchemes, WebScheme::kBare, kDefaultWebPort);
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
    auto parsed = ParseFtpServer(servidor_ftp);
    if (!parsed) {
      throw platform::Error("Valor inválido em ServidorFTP: \"" + std::string(servidor_ftp) + "\"");
    }
    server.ftp_security = parsed->first;
    server.ftp_host = parsed->second.host;
    server.ftp_port = parsed->second.port;
  }
  if (!Trim(usuario_ftp).empty()) {
    std::string_view user = Trim(usuario_ftp);
    if (HasControlCharacter(user)) throw platform::Error("Valor inválido em UsuarioFTP");
    server.ftp_user = std::string(user);
  }
  if (!Trim(dominio_web).empty()) {
    auto parsed = ParseWebDomain(dominio_web);
    if (!parsed) {
      throw platform::Error("Valor inválido em DominioWeb: \"" + std::string(dominio_web) + "\"");
    }
    server.web_scheme = parsed->first;
    server.web_domain = parsed->second.host;
    server.web_port = parsed->second.port;
  }
  return server;
}

void SetFtpPassword(ExchangeServer& server, std::string_view senha_ftp) {
  if (senha_ftp.empty()) return;
  // The value itself is never part of the message: it would reach the log.
  if (HasControlCharacter(senha_ftp)) throw platform::Error("Valor inválido em SenhaFTP");
  server.ftp_password = std::string(senha_ftp);
}

std::string FtpAddress(const ExchangeServer& server) {
  const char* scheme = server.ftp_security == FtpSecurity::kExplicit   ? "ftpes://"
                       : server.ftp_security == FtpSecurity::kImplicit ? "ftps://"
                                                                       : "";
  return scheme + server.ftp_host + ":" + std::to_string(server.ftp_port);
}

std::string WebBaseAddress(const ExchangeServer& server) {
  const bool https = server.web_scheme == WebScheme::kHttps;
  std::string base = (https ? "https://www." : "http://www.") + server.web_domain;
  if (server.web_port != (https ? kDefaultHttpsPort : kDefaultWebPort)) {
    base += ":" + std::to_string(server.web_port);
  }
  return base;
}

std::string DownloadSource(const ExchangeServer& server, std::string_view digits) {
  return WebBaseAddress(server) + kWebPath + std::string(digits) + ".ZIP";
}

}  // namespace quilvane::transfer
