// The cookies HttpClient keeps between requests: stored from "Set-Cookie",
// sent back to the domain and path they were set for.
#include "transfer/http_client.h"

#include <algorithm>

#include "platform/text.h"
#include "transfer/http_client_internal.h"

namespace quilvane::transfer {
namespace {

using internal::Lower;
using internal::Trim;
using platform::EqualsIgnoreAsciiCase;

// Caps on what a server can make the client hold.
constexpr size_t kMaxCookies = 64;
constexpr size_t kMaxCookieBytes = 4096;

}  // namespace

void HttpClient::StoreCookie(const std::string& text, const ResolvedUrl& url) {
  if (text.size() > kMaxCookieBytes) return;
  Cookie cookie;
  cookie.domain = Lower(url.host);
  bool expire = false;
  size_t start = 0;
  bool first = true;
  while (start <= text.size()) {
    size_t semi = text.find(';', start);
    std::string part = Trim(std::string_view(text).substr(
        start, semi == std::string::npos ? std::string::npos : semi - start));
    size_t eq = part.find('=');
    std::string key = Trim(part.substr(0, eq));
    std::string value = eq == std::string::npos ? std::string() : Trim(part.substr(eq + 1));
    if (first) {
      if (key.empty() || eq == std::string::npos) return;
      cookie.name = key;
      cookie.value = value;
      first = false;
    } else if (EqualsIgnoreAsciiCase(key, "domain") && !value.empty()) {
      std::string domain = Lower(value.starts_with(".") ? value.substr(1) : value);
      // A server may set cookies for itself or a parent domain only.
      if (cookie.domain == domain || cookie.domain.ends_with("." + domain))
        cookie.domain = domain;
      else
        return;
    } else if (EqualsIgnoreAsciiCase(key, "path") && value.starts_with("/")) {
      cookie.path = value;
    } else if (EqualsIgnoreAsciiCase(key, "max-age")) {
      if (value.starts_with("-") || value == "0") expire = true;
    }
    if (semi == std::string::npos) break;
    start = semi + 1;
  }
  auto same = [&](const Cookie& c) {
    return c.domain == cookie.domain && c.path == cookie.path && c.name == cookie.name;
  };
  cookies_.erase(std::remove_if(cookies_.begin(), cookies_.end(), same), cookies_.end());
  if (expire) return;
  if (cookies_.size() >= kMaxCookies) cookies_.erase(cookies_.begin());
  cookies_.push_back(cookie);
}

std::string HttpClient::CookieHeader(const ResolvedUrl& url) const {
  std::string host = Lower(url.host);
  std::string out;
  for (const auto& c : cookies_) {
    bool domain_ok = host == c.domain || host.ends_with("." + c.domain);
    bool path_ok = url.target.starts_with(c.path);
    if (!domain_ok || !path_ok) continue;
    if (!out.empty()) out += "; ";
    out += c.name + "=" + c.value;
  }
  return out;
}

}  // namespace quilvane::transfer
