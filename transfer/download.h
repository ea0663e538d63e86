#pragma once

#include <functional>
#include <string>

#include "sync/log.h"
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

// Fetches the exchange archive from `source` into `dir` + `dest` (dir is the
// executable's folder), trying the three addresses. With `descompactar`,
// `unpack` gets the local archive's path, which is deleted afterwards.
// Returns true when an attempt succeeded and, with `descompactar`, the
// unpacking worked. Throws platform::Error "Cannot create file ..." when the
// local file cannot be created (nothing logged).
bool DownloadFile(HttpClient& http, const std::string& source, const std::string& dest,
                  bool descompactar, const std::string& dir,
                  const std::function<bool(const std::string& archive_path)>& unpack,
                  sync::Log& log);

}  // namespace quilvane::transfer
