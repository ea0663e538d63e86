#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace quilvane::transfer {

// Built-in endpoints of the exchange server; the settings keys "ServidorFTP",
// "UsuarioFTP" and "DominioWeb" override them.
inline constexpr char kDefaultFtpHost[] = "ftp.quilvane.example";
inline constexpr int kDefaultFtpPort = 21;
inline constexpr char kDefaultFtpUser[] = "sincronizador@quilvane.example";
inline constexpr char kDefaultWebDomain[] = "quilvane.example";
inline constexpr int kDefaultWebPort = 80;

// The FTP account's password.
inline constexpr char kFtpPassword[] = "mirvex";
// The folder that receives the archive, relative to the account's login folder.
inline constexpr char kFtpFolder[] = "quilvane";
// Where the web side publishes that folder.
inline constexpr char kWebPath[] = "/halvoraquin/quilvane/";

struct ExchangeServer {
  std::string ftp_host = kDefaultFtpHost;
  int ftp_port = kDefaultFtpPort;
  std::string ftp_user = kDefaultFtpUser;
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
// one. Throws platform::Error naming the key for a malformed value.
ExchangeServer MakeExchangeServer(std::string_view servidor_ftp, std::string_view usuario_ftp,
                                  std::string_view dominio_web);

// The web base address: "http://www." + domain, with ":port" unless it is 80.
std::string WebBaseAddress(const ExchangeServer& server);

// The download address of the archive of the head office whose CNPJ digits
// are `digits`: base + "/halvoraquin/quilvane/" + digits + ".ZIP".
std::string DownloadSource(const ExchangeServer& server, std::string_view digits);

}  // namespace quilvane::transfer
