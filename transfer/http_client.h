#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/error.h"
#include "platform/file.h"
#include "platform/socket.h"
#include "platform/tls.h"
#include "transfer/buffered_socket.h"
#include "transfer/content_coding.h"
#include "transfer/progress.h"
#include "transfer/url.h"

namespace quilvane::transfer {

// A response status outside 200-299; what() is the status line.
class HttpStatusError : public platform::Error {
 public:
  HttpStatusError(const std::string& status_line, int status)
      : platform::Error(status_line), status_(status) {}
  int status() const { return status_; }

 private:
  int status_;
};

struct HttpTimeouts {
  std::chrono::milliseconds connect{30000};
  // Silence that fails a read or a write.
  std::chrono::milliseconds idle{60000};
  // The rule the exchange must keep from the request on; its ceiling bounds
  // one Get as a whole.
  ProgressLimits progress;
  // How long a redirect's body is waited for before it counts as absent.
  std::chrono::milliseconds redirect_body{5000};
};

// One header line as received.
struct HttpHeader {
  std::string name;
  std::string value;
};

// At most this many redirects are followed for one Get.
inline constexpr int kMaxRedirects = 5;

// HTTP: the HTTP client object the module keeps for the process's life: the
// current address (relative addresses resolve against it), cookies and one
// idle keep-alive connection. GET only, HTTP/1.1, over TCP ("http") or TLS
// ("https", checked as platform::TlsClient checks). Unless told otherwise
// (set_max_redirects, set_decode_bodies) no redirect is followed and bodies
// are stored as received.
class HttpClient {
 public:
  HttpClient();
  ~HttpClient();
  HttpClient(const HttpClient&) = delete;
  HttpClient& operator=(const HttpClient&) = delete;

  void set_accept(const std::string& v) { accept_ = v; }
  void set_accept_encoding(const std::string& v) { accept_encoding_ = v; }
  void set_user_agent(const std::string& v) { user_agent_ = v; }
  const std::string& accept_encoding() const { return accept_encoding_; }
  void set_resolver(platform::Resolver resolver) { resolver_ = std::move(resolver); }
  void set_timeouts(const HttpTimeouts& timeouts) { timeouts_ = timeouts; }
  // What https connections trust. The store is loaded again at the next
  // https request, so a replaced CertificadoCA counts from the next cycle.
  void set_tls_config(const platform::TlsConfig& config);
  // A 301, 302, 303, 307 or 308 with a "Location" is followed with a GET, up
  // to `max` times for one Get; never from https to http. 0: a redirect is
  // a failure with its status line.
  void set_max_redirects(int max) { max_redirects_ = max; }
  // A success body whose "Content-Encoding" is gzip (or x-gzip) reaches the
  // sink decoded; any other coding but identity fails the Get. Off: the
  // bytes as received.
  void set_decode_bodies(bool on) { decode_bodies_ = on; }
  bool decode_bodies() const { return decode_bodies_; }

  // Fetches `url`; the body of a 2xx response goes to `sink` as it arrives.
  // Throws HttpStatusError for any other status (its body is read and
  // dropped), platform::SocketError / TimeoutError for the network
  // (TransferTooSlowError when the progress rule is broken),
  // ConnectionClosedError when the body breaks off, platform::TlsError for
  // a TLS connection that fails its checks or is cut, and platform::Error
  // for a chunked body whose framing is garbled, a redirect refused or one
  // too many, or a content coding that cannot be undone.
  void Get(const std::string& url, const BodySink& sink);
  // The same, writing at the file's current position.
  void Get(const std::string& url, platform::File& dest);

  const CurrentAddress& current_address() const { return current_; }
  // The address of the last request made: after redirects, the one that
  // answered.
  const std::string& final_url() const { return final_url_; }
  // The connection that answered the last request, when it was TLS.
  const std::optional<platform::TlsPeerInfo>& tls_peer_info() const { return tls_info_; }
  int response_code() const { return response_code_; }
  const std::vector<HttpHeader>& response_headers() const { return headers_; }
  bool connected() const { return connection_.is_open(); }
  void Disconnect() { connection_.Close(); }

 private:
  struct Cookie {
    std::string domain;
    std::string path{'/'};
    std::string name;
    std::string value;
  };

  // One request and its response on a connection to `target`. Returns true
  // for a redirect to follow (its body dropped).
  bool Exchange(const ResolvedUrl& target, const BodySink& sink, platform::Deadline begun,
                bool follow);
  void OpenConnection(const ResolvedUrl& target);
  void ReadSuccessBody(int status, const BodySink& sink);
  std::optional<std::string> ReadLimitedLine();
  void ReadHeaderBlock(std::string& status_line, size_t& header_bytes);
  void ReadBody(int status, const BodySink& sink);
  void CopyBody(std::uint64_t count, const BodySink& sink);
  void StoreCookie(const std::string& value, const ResolvedUrl& url);
  std::string CookieHeader(const ResolvedUrl& url) const;
  std::string HeaderValue(std::string_view name) const;

  std::string accept_;
  std::string accept_encoding_;
  std::string user_agent_;
  platform::Resolver resolver_;
  HttpTimeouts timeouts_;
  platform::TlsConfig tls_config_;
  std::optional<platform::TlsClient> tls_client_;
  int max_redirects_ = 0;
  bool decode_bodies_ = false;

  CurrentAddress current_;
  BufferedSocket connection_;
  std::string connected_host_;
  int connected_port_ = 0;
  bool connected_tls_ = false;
  std::string final_url_;
  std::optional<platform::TlsPeerInfo> tls_info_;
  bool keep_alive_ = false;
  platform::Deadline deadline_ = platform::Deadline::max();
  int response_code_ = -1;
  std::vector<HttpHeader> headers_;
  std::vector<Cookie> cookies_;
};

// An HTTP date in the form servers send ("Sun, 06 Nov 1994 08:49:37 GMT"):
// seconds since 1 January 1970 UTC. nullopt for any other text.
std::optional<std::int64_t> ParseHttpDate(std::string_view text);

}  // namespace quilvane::transfer
