#include "transfer/download.h"

#include "platform/file.h"
#include "platform/path.h"
#include "platform/text.h"

namespace quilvane::transfer {
namespace {

// `text` with every occurrence of `what` removed, letters compared without
// regard to case.
std::string RemoveNoCase(const std::string& text, std::string_view what) {
  std::string out;
  size_t i = 0;
  while (i < text.size()) {
    if (platform::EqualsIgnoreAsciiCase(std::string_view(text).substr(i, what.size()), what)) {
      i += what.size();
    } else {
      out += text[i++];
    }
  }
  return out;
}

}  // namespace

std::string SecondAttemptAddress(const std::string& source) {
  constexpr std::string_view kHttps = "https://";
  const bool https =
      platform::EqualsIgnoreAsciiCase(std::string_view(source).substr(0, kHttps.size()), kHttps);
  return RemoveNoCase(source, https ? "https://www." : "http://www.");
}

void ConfigureWebClient(HttpClient& http, const ExchangeServer& server) {
  const bool modern = server.web_scheme != WebScheme::kBare;
  http.set_max_redirects(modern ? kMaxRedirects : 0);
  http.set_decode_bodies(modern);
  http.set_tls_config(server.tls);
}

void SetDownloadFields(HttpClient& http) {
  http.set_accept(kDownloadAccept);
  // A client that decodes asks for the stored bytes in the first place.
  http.set_accept_encoding(http.decode_bodies() ? "identity" : kDownloadAcceptEncoding);
  http.set_user_agent(kDownloadUserAgent);
}

std::string ThirdAttemptAddress(const std::string& source) { return RemoveNoCase(source, "www."); }

std::array<std::string, 3> DownloadAddresses(const std::string& source) {
  return {source, SecondAttemptAddress(source), ThirdAttemptAddress(source)};
}

void ConfigureDownloadClient(HttpClient& http, const ExchangeServer& server) {
  ConfigureWebClient(http, server);
  SetDownloadFields(http);
}

std::string TooLargeText(std::uint64_t max_bytes) {
  return "o arquivo passa do limite de " + std::to_string(max_bytes >> 20) +
         " MB (TamanhoMaximoMB)";
}

void Download(HttpClient& http, const std::string& source, const std::string& path,
              std::uint64_t max_bytes) {
  std::string last_error;
  bool fetched = false;
  {
    platform::File my_file;
    try {
      my_file = platform::File(path, platform::File::Mode::kCreate);
    } catch (const platform::SystemError& e) {
      throw platform::Error(platform::CannotCreateFileText(path, e.code()));
    }
    SetDownloadFields(http);

    const std::array<std::string, 3> addresses = DownloadAddresses(source);
    for (int attempt = 0; attempt < 3 && !fetched; ++attempt) {
      // Every attempt starts on an empty file, so the bytes of one that
      // broke off never mix with the next one's body.
      my_file.Truncate(0);
      my_file.Seek(0);
      try {
        std::uint64_t received = 0;
        http.Get(addresses[attempt], [&](std::string_view bytes) {
          received += bytes.size();
          // A peer's word never sizes what lands on disk.
          if (max_bytes > 0 && received > max_bytes) {
            throw platform::Error(TooLargeText(max_bytes));
          }
          my_file.Write(bytes);
        });
        fetched = true;
      } catch (const platform::Error& e) {
        last_error = e.what();
      }
    }
    if (!fetched) my_file.Truncate(0);
    my_file.Close();
  }
  if (fetched) return;
  // Nothing is unpacked from a download that did not arrive whole.
  try {
    platform::DeleteFile(path);
  } catch (const platform::Error&) {
  }
  throw DownloadError(last_error);
}

}  // namespace quilvane::transfer
