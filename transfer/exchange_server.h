#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/tls.h"
#include "transfer/ftp_security.h"

namespace quilvane::transfer {

// Built-in endpoints of the exchange server; the settings keys "ServidorFTP",
// "UsuarioFTP", "SenhaFTP" and "DominioWeb" override them.
inline constexpr char kDefaultFtpHost[] = "ftp.quilvane.example";
inline constexpr int kDefaultFtpPort = 21;
// The port of FTP inside TLS from the first byte (ftps://).
inline constexpr int kDefaultImplicitFtpsPort = 990;
inline constexpr char kDefaultFtpUser[] = "sincronizador@quilvane.example";
inline constexpr char kDefaultWebDomain[] = "quilvane.example";
inline constexpr int kDefaultWebPort = 80;
inline constexpr int kDefaultHttpsPort = 443;

// The FTP account's built-in password, the same in every copy of the
// program; "SenhaFTP" replaces it.
inline constexpr char kFtpPassword[] = "mirvex";
// The folder that receives the archive, relative to the account's login folder.
inline constexpr char kFtpFolder[] = "quilvane";
// Where the web side publishes that folder.
inline constexpr char kWebPath[] = "/halvoraquin/quilvane/";

// How "DominioWeb" was written, which decides how the archive is fetched.
enum class WebScheme {
  // A bare domain: plain HTTP, as ever: no redirect followed, the body
  // stored as it came.
  kBare,
  // "http://": plain HTTP; redirects are followed (to https too) and a
  // gzip body is decoded.
  kHttp,
  // "https://": TLS with its checks (the system's store plus
  // CertificadoCA), the same redirects and decoding.
  kHttps,
};

struct ExchangeServer {
  std::string ftp_host = kDefaultFtpHost;
  int ftp_port = kDefaultFtpPort;
  FtpSecurity ftp_security = FtpSecurity::kNone;
  std::string ftp_user = kDefaultFtpUser;
  std::string ftp_password = kFtpPassword;
  WebScheme web_scheme = WebScheme::kBare;
  // What the certificates of its TLS endpoints are checked against
  // ("CertificadoCA" besides the system's store).
  platform::TlsConfig tls;
  std::string web_domain = kDefaultWebDomain;
  int web_port = kDefaultWebPort;
};

struct HostPort {
  std::string host;
  int port = 0;
};

// Parses "host" or "host:port" (blanks around it ignored). The host is a
// name or dotted address without blanks, "/", "@" or control characters;
// the port is 1-65535 in decimal. nullopt for anything else.
std::optional<HostPort> ParseHostPort(std::string_view text, int default_port);

// The endpoints from the settings values; an empty value keeps the built-in
// one. "DominioWeb" is "domain[:port]", "http://domain[:port]" or
// "https://domain[:port]". "ServidorFTP" is "host[:port]", "ftpes://host[:port]" or
// "ftps://host[:port]" (the scheme in any letter case; "ftp://" is the bare
// host). Throws platform::Error naming the key for a malformed value.
ExchangeServer MakeExchangeServer(std::string_view servidor_ftp, std::string_view usuario_ftp,
                                  std::string_view dominio_web);

// Replaces the built-in password with "SenhaFTP" when that is not empty.
// Throws platform::Error naming the key, never the value, when it holds a
// control character (it would end the PASS command early).
void SetFtpPassword(ExchangeServer& server, std::string_view senha_ftp);

// The FTP endpoint as the operator wrote it: "host:port" for plain FTP,
// "ftpes://host:port" or "ftps://host:port" with TLS.
std::string FtpAddress(const ExchangeServer& server);

// The web base address: "http://www." + domain, with ":port" unless it is 80;
// "https://www." + domain, with ":port" unless it is 443, for https://.
std::string WebBaseAddress(const ExchangeServer& server);

// The download address of the archive of the head office whose CNPJ digits
// are `digits`: base + "/halvoraquin/quilvane/" + digits + ".ZIP".
std::string DownloadSource(const ExchangeServer& server, std::string_view digits);

}  // namespace quilvane::transfer
