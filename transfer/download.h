#pragma once

#include <string>

#include "platform/error.h"
#include "transfer/http_client.h"

namespace quilvane::transfer {

// Request fields of the download.
inline constexpr char kDownloadAccept[] =
    "text/html, image/gif, image/x-xbitmap, image/jpeg, image/pjpeg, */*";
inline constexpr char kDownloadAcceptEncoding[] = "gzip, deflate";
inline constexpr char kDownloadUserAgent[] = "Mozilla/4.0";

// The three addresses tried in turn: `source`; `source` without
// "http://www." (taken relative to the first request); `source` without
// "www." (letters compared without regard to case).
std::string SecondAttemptAddress(const std::string& source);
std::string ThirdAttemptAddress(const std::string& source);

// None of the three addresses delivered the archive; what() is the last
// attempt's error.
class DownloadError : public platform::Error {
 public:
  using platform::Error::Error;
};

// Fetches the exchange archive from `source` into the file `path`, trying
// the three addresses, each on an emptied file. Throws DownloadError when
// every attempt failed (the file is then deleted), and platform::Error
// "Cannot create file ..." when the file cannot be created (no request made).
void Download(HttpClient& http, const std::string& source, const std::string& path);

}  // namespace quilvane::transfer
