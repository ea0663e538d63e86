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
#include "transfer/buffered_socket.h"
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

// HTTP: the HTTP client object the module keeps for the process's life: the
// current address (relative addresses resolve against it), cookies and one
// idle keep-alive connection. GET only, HTTP/1.1, no redirects, bodies
// stored as received.
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

  // Fetches `url`; the body of a 2xx response goes to `sink` as it arrives.
  // Throws HttpStatusError for any other status (its body is read and
  // dropped), platform::SocketError / TimeoutError for the network
  // (TransferTooSlowError when the progress rule is broken),
  // ConnectionClosedError when the body breaks off, and platform::Error for
  // a chunked body whose framing is garbled.
  void Get(const std::string& url, const std::function<void(std::string_view)>& sink);
  // The same, writing at the file's current position.
  void Get(const std::string& url, platform::File& dest);

  const CurrentAddress& current_address() const { return current_; }
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

  std::optional<std::string> ReadLimitedLine();
  void ReadHeaderBlock(std::string& status_line, size_t& header_bytes);
  void ReadBody(int status, const std::function<void(std::string_view)>& sink);
  void CopyBody(std::uint64_t count, const std::function<void(std::string_view)>& sink);
  void StoreCookie(const std::string& value, const ResolvedUrl& url);
  std::string CookieHeader(const ResolvedUrl& url) const;
  std::string HeaderValue(std::string_view name) const;

  std::string accept_;
  std::string accept_encoding_;
  std::string user_agent_;
  platform::Resolver resolver_;
  HttpTimeouts timeouts_;

  CurrentAddress current_;
  BufferedSocket connection_;
  std::string connected_host_;
  int connected_port_ = 0;
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
