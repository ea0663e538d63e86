#pragma once

// The HTTP client as the tests use it against scripted web peers: the
// download's headers, "www.web.test" and "web.test" on the loopback, short
// limits; a GET that keeps its body or its error text.

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/error.h"
#include "tests/transfer/test_resolver.h"
#include "transfer/download.h"
#include "transfer/http_client.h"

namespace quilvane::testing {

inline void Configure(transfer::HttpClient& http) {
  using namespace std::chrono_literals;
  http.set_accept(transfer::kDownloadAccept);
  http.set_accept_encoding(transfer::kDownloadAcceptEncoding);
  http.set_user_agent(transfer::kDownloadUserAgent);
  http.set_resolver(LoopbackResolver({"www.web.test", "web.test"}));
  transfer::HttpTimeouts t;
  t.idle = 400ms;
  t.connect = 2000ms;
  t.redirect_body = 300ms;
  http.set_timeouts(t);
}

inline std::string Url(std::uint16_t port,
                       const std::string& path = "/halvoraquin/quilvane/N.ZIP") {
  return "http://www.web.test:" + std::to_string(port) + path;
}

// The request head the client sends for `target`, byte for byte.
inline std::string Head(std::uint16_t port,
                        const std::string& target = "/halvoraquin/quilvane/N.ZIP",
                        const std::string& host = "www.web.test", const std::string& cookie = "") {
  std::string head =
      "GET " + target + " HTTP/1.1\r\n" + "Host: " + host + ":" + std::to_string(port) + "\r\n" +
      "Accept: text/html, image/gif, image/x-xbitmap, image/jpeg, image/pjpeg, */*\r\n"
      "Accept-Encoding: gzip, deflate, identity\r\n"
      "User-Agent: Mozilla/4.0\r\n";
  if (!cookie.empty()) head += "Cookie: " + cookie + "\r\n";
  return head + "\r\n";
}

struct Fetch {
  std::string body;
  std::string error;
};

inline Fetch Get(transfer::HttpClient& http, const std::string& url) {
  Fetch f;
  try {
    http.Get(url, [&](std::string_view b) { f.body.append(b); });
  } catch (const platform::Error& e) {
    f.error = e.what();
  }
  return f;
}

}  // namespace quilvane::testing
