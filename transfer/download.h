#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "platform/error.h"
#include "transfer/exchange_server.h"
#include "transfer/http_client.h"

namespace quilvane::transfer {

// Request fields of the download.
inline constexpr char kDownloadAccept[] =
    "text/html, image/gif, image/x-xbitmap, image/jpeg, image/pjpeg, */*";
inline constexpr char kDownloadAcceptEncoding[] = "gzip, deflate";
inline constexpr char kDownloadUserAgent[] = "Mozilla/4.0";

// The three addresses tried in turn: `source`; `source` without
// "http://www." ("https://www." for an https source; taken relative to the
// first request); `source` without "www." (letters compared without regard
// to case).
std::string SecondAttemptAddress(const std::string& source);
std::string ThirdAttemptAddress(const std::string& source);
// The three in the order they are tried.
std::array<std::string, 3> DownloadAddresses(const std::string& source);

// The download's client for `server`. A "DominioWeb" written with a scheme
// follows redirects (at most kMaxRedirects), asks for the bytes as stored
// and decodes a gzip body anyway, and trusts CertificadoCA besides the
// system's store; a bare domain keeps the client as it always was.
void ConfigureWebClient(HttpClient& http, const ExchangeServer& server);

// The request fields of the download.
void SetDownloadFields(HttpClient& http);

// A client that asks as the download does: ConfigureWebClient, then the
// download's request fields (for -CHECK's probes).
void ConfigureDownloadClient(HttpClient& http, const ExchangeServer& server);

// None of the three addresses delivered the archive; what() is the last
// attempt's error.
class DownloadError : public platform::Error {
 public:
  using platform::Error::Error;
};

// Fetches the exchange archive from `source` into the file `path`, trying
// the three addresses, each on an emptied file. A body longer than
// `max_bytes` (0: no ceiling) fails that address as soon as it passes the
// ceiling. Throws DownloadError when every attempt failed (the file is then
// deleted), and platform::Error "Cannot create file ..." when the file cannot
// be created (no request made).
void Download(HttpClient& http, const std::string& source, const std::string& path,
              std::uint64_t max_bytes = 0);

// The text of a body that passed the ceiling.
std::string TooLargeText(std::uint64_t max_bytes);

}  // namespace quilvane::transfer
