#include "transfer/http_client.h"
#include "platform/text.h"

#include <algorithm>
#include <cctype>

#include "platform/datetime.h"

namespace quilvane::transfer {
namespace {

using platform::SteadyClock;

// Caps on what a server can make the client hold or loop on.
constexpr size_t kMaxHeaderBytes = 64 * 1024;
constexpr int kMaxInterimResponses = 20;
constexpr size_t kMaxCookies = 64;
constexpr size_t kMaxCookieBytes = 4096;
constexpr size_t kBodyChunk = 256 * 1024;

std::string Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r'))
    s.remove_suffix(1);
  return std::string(s);
}

std::string Lower(std::string_view s) { return platform::AsciiLower(std::string(s)); }

using platform::EqualsIgnoreAsciiCase;

// An endless or oversized reply fails like a stall.
[[noreturn]] void ThrowTooLong() { throw platform::SocketTimeoutError(); }

// The number after the first blank, up to the next blank or "."; -1 when
// there is none or it does not fit.
int ParseStatusCode(const std::string& line) {
  size_t blank = line.find(' ');
  if (blank == std::string::npos) return -1;
  size_t i = blank + 1;
  size_t end = line.find_first_of(" .", i);
  std::string digits = line.substr(i, end == std::string::npos ? std::string::npos : end - i);
  if (digits.empty() || digits.size() > 3) return -1;
  int code = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return -1;
    code = code * 10 + (c - '0');
  }
  return code;
}

// "Content-Length": a decimal count that fits in 63 bits; -1 otherwise.
std::int64_t ParseContentLength(const std::string& text) {
  std::string t = Trim(text);
  if (t.empty() || t.size() > 18) return -1;
  std::int64_t value = 0;
  for (char c : t) {
    if (c < '0' || c > '9') return -1;
    value = value * 10 + (c - '0');
  }
  return value;
}

// A chunk-size line: cut at ";", trimmed, hexadecimal digits only. Nothing,
// a sign, letters or a number too large to be real fail: a body whose
// framing is lost cannot be told from a cut one.
std::uint64_t ParseChunkSize(const std::string& line) {
  std::string t = Trim(std::string_view(line).substr(0, line.find(';')));
  auto invalid = [&t] {
    constexpr size_t kShown = 32;
    std::string shown = t.empty() ? "(empty line)" : t.substr(0, kShown);
    if (t.size() > kShown) shown += "...";
    return platform::Error("Invalid chunk size: " + shown);
  };
  if (t.empty()) throw invalid();
  std::uint64_t value = 0;
  for (char c : t) {
    int digit;
    if (c >= '0' && c <= '9')
      digit = c - '0';
    else if (c >= 'a' && c <= 'f')
      digit = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F')
      digit = c - 'A' + 10;
    else
      throw invalid();
    if (value > (std::uint64_t{1} << 56)) throw invalid();
    value = value * 16 + static_cast<std::uint64_t>(digit);
  }
  return value;
}

bool IsRedirect(int status) {
  return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

// A "Location" as an address Get can take: absolute, or relative to the
// request that was redirected ("//host/..." keeps its scheme). Anything a
// request line could not carry is refused rather than sent.
std::string RedirectAddress(const std::string& location, const std::string& scheme) {
  constexpr size_t kMaxLocation = 2048;
  bool usable = !location.empty() && location.size() <= kMaxLocation;
  for (unsigned char c : location) {
    if (c <= ' ' || c == 0x7f) usable = false;
  }
  if (!usable) {
    throw platform::Error("Redirecionamento para endereço inválido: " +
                          location.substr(0, std::min<size_t>(location.size(), 80)));
  }
  if (location.starts_with("//")) return scheme + ":" + location;
  return location;
}

}  // namespace

HttpClient::HttpClient() : resolver_(platform::ResolveIpv4) {}

std::optional<std::string> HttpClient::ReadLimitedLine() {
  try {
    return connection_.ReadLine(kMaxHeaderBytes, deadline_);
  } catch (const LineTooLongError&) {
    ThrowTooLong();
  }
}

HttpClient::~HttpClient() { connection_.Close(); }

std::string HttpClient::HeaderValue(std::string_view name) const {
  std::string value;
  bool found = false;
  for (const auto& h : headers_) {
    if (EqualsIgnoreAsciiCase(h.name, name)) {
      value = found ? value + ", " + h.value : h.value;
      found = true;
    }
  }
  return value;
}

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

void HttpClient::ReadHeaderBlock(std::string& status_line, size_t& header_bytes) {
  auto next_line = [&]() -> std::optional<std::string> {
    auto line = ReadLimitedLine();
    if (line) {
      header_bytes += line->size() + 2;
      if (header_bytes > kMaxHeaderBytes) ThrowTooLong();
    }
    return line;
  };
  auto status = next_line();
  if (!status) throw ConnectionClosedError();
  status_line = *status;
  headers_.clear();
  for (;;) {
    auto line = next_line();
    if (!line) throw ConnectionClosedError();
    if (line->empty()) break;
    size_t colon = line->find(':');
    if (colon == std::string::npos) continue;
    headers_.push_back({Trim(line->substr(0, colon)), Trim(line->substr(colon + 1))});
  }
}

void HttpClient::Get(const std::string& url, platform::File& dest) {
  Get(url, [&dest](std::string_view bytes) { dest.Write(bytes); });
}

void HttpClient::set_tls_config(const platform::TlsConfig& config) {
  tls_config_ = config;
  tls_client_.reset();
  if (connected_tls_) connection_.Close();
}

void HttpClient::Get(const std::string& url, const BodySink& sink) {
  const platform::Deadline begun = SteadyClock::now();
  // One ceiling for the whole chain of redirects.
  deadline_ = CeilingEnd(timeouts_.progress, begun);
  response_code_ = -1;
  headers_.clear();
  tls_info_.reset();
  std::string address = url;
  std::string previous_scheme;
  for (int hop = 0;; ++hop) {
    ResolvedUrl target = ResolveUrl(ParseUrl(address), current_);
    if (target.scheme != "http" && target.scheme != "https") {
      throw platform::Error("Unknown Protocol");
    }
    // A protected download never continues in clear text.
    if (previous_scheme == "https" && target.scheme == "http") {
      throw platform::Error("Redirecionamento de https para http recusado: " + address);
    }
    final_url_ = target.scheme + "://" + target.host_field + target.target;
    if (!Exchange(target, sink, begun, max_redirects_ > 0)) return;
    if (hop >= max_redirects_) {
      throw platform::Error("Redirecionamentos demais (mais de " + std::to_string(max_redirects_) +
                            ") a partir de " + url);
    }
    address = RedirectAddress(HeaderValue("Location"), target.scheme);
    previous_scheme = target.scheme;
  }
}

void HttpClient::OpenConnection(const ResolvedUrl& target) {
  const bool tls = target.scheme == "https";
  if (connection_.is_open() && (!EqualsIgnoreAsciiCase(connected_host_, target.host) ||
                                connected_port_ != target.port || connected_tls_ != tls)) {
    connection_.Close();
  }
  if (!keep_alive_) connection_.Close();
  connection_.DiscardBuffered();
  // An idle connection that the server closed, or that holds bytes nobody
  // asked for, serves no further request.
  if (connection_.is_open() && (connection_.PeerClosed() || connection_.buffered() > 0)) {
    connection_.Close();
  }
  if (connection_.is_open()) return;
  keep_alive_ = false;
  if (target.ipv6) throw platform::SocketError(platform::kSocketHostNotFound);
  platform::Ipv4Address address = resolver_(target.host);
  connection_ =
      BufferedSocket(platform::Socket::Connect(address, static_cast<std::uint16_t>(target.port),
                                               {timeouts_.connect, timeouts_.idle}, deadline_));
  connected_host_ = target.host;
  connected_port_ = target.port;
  connected_tls_ = tls;
  if (!tls) return;
  try {
    if (!tls_client_) tls_client_.emplace(tls_config_);
    // The name in the address is the one the certificate must carry.
    connection_.StartTls(*tls_client_, target.host, deadline_);
  } catch (const platform::Error&) {
    connection_.Close();
    throw;
  }
}

bool HttpClient::Exchange(const ResolvedUrl& target, const BodySink& sink, platform::Deadline begun,
                          bool follow) {
  OpenConnection(target);
  if (connected_tls_) {
    tls_info_ = connection_.tls_peer_info();
  } else {
    tls_info_.reset();
  }
  if (!accept_encoding_.empty() && Lower(accept_encoding_).find("identity") == std::string::npos) {
    accept_encoding_ += ", identity";
  }

  std::string request = "GET " + target.target + " HTTP/1.1\r\n";
  auto field = [&](const char* name, const std::string& value) {
    if (!value.empty()) request += std::string(name) + ": " + value + "\r\n";
  };
  field("Host", target.host_field);
  field("Accept", accept_);
  field("Accept-Encoding", accept_encoding_);
  field("User-Agent", user_agent_);
  field("Cookie", CookieHeader(target));
  request += "\r\n";

  // Whatever breaks off below leaves the connection in an unknown state.
  keep_alive_ = false;
  try {
    connection_.WatchProgress(timeouts_.progress, begun);
    connection_.WriteAll(request, deadline_);
    std::string status_line;
    size_t header_bytes = 0;
    int interim = 0;
    for (;;) {
      ReadHeaderBlock(status_line, header_bytes);
      response_code_ = ParseStatusCode(status_line);
      for (const auto& h : headers_) {
        if (EqualsIgnoreAsciiCase(h.name, "Set-Cookie")) StoreCookie(h.value, target);
      }
      if (response_code_ < 100 || response_code_ > 199) break;
      if (++interim > kMaxInterimResponses) ThrowTooLong();
      header_bytes = 0;
    }
    const bool success = response_code_ >= 200 && response_code_ <= 299;
    const bool redirect = follow && IsRedirect(response_code_) && !HeaderValue("Location").empty();
    if (success) {
      ReadSuccessBody(response_code_, sink);
    } else {
      // A refused response's body is read to keep the connection in step,
      // and dropped.
      ReadBody(response_code_, [](std::string_view) {});
    }
    bool close_requested = EqualsIgnoreAsciiCase(Trim(HeaderValue("Connection")), "close") ||
                           EqualsIgnoreAsciiCase(Trim(HeaderValue("Proxy-Connection")), "close");
    keep_alive_ = connection_.is_open() && !close_requested;
    if (!keep_alive_) connection_.Close();
    if (redirect) return true;
    if (!success) throw HttpStatusError(status_line, response_code_);
    return false;
  } catch (const HttpStatusError&) {
    throw;
  } catch (...) {
    keep_alive_ = false;
    connection_.Close();
    throw;
  }
}

void HttpClient::ReadSuccessBody(int status, const BodySink& sink) {
  if (!decode_bodies_) return ReadBody(status, sink);
  const std::string coding = HeaderValue("Content-Encoding");
  switch (ParseContentCoding(coding)) {
    case ContentCoding::kIdentity:
      return ReadBody(status, sink);
    case ContentCoding::kGzip: {
      GzipDecoder decoder(sink);
      ReadBody(status, [&decoder](std::string_view bytes) { decoder.Write(bytes); });
      decoder.Finish();
      return;
    }
    case ContentCoding::kUnsupported:
      break;
  }
  constexpr size_t kShown = 40;
  throw platform::Error("Codificação de conteúdo não suportada: " + coding.substr(0, kShown));
}

void HttpClient::ReadBody(int status, const BodySink& sink) {
  if ((status >= 100 && status <= 199) || status == 204 || status == 304) return;
  bool chunked = Lower(HeaderValue("Transfer-Encoding")).find("chunked") != std::string::npos;
  std::int64_t length = -1;
  for (const auto& h : headers_) {
    if (EqualsIgnoreAsciiCase(h.name, "Content-Length")) length = ParseContentLength(h.value);
  }
  if (!chunked && length == 0) return;
  if (status >= 300 && status <= 399 && !connection_.WaitReadable(timeouts_.redirect_body)) {
    return;
  }

  if (chunked) {
    for (;;) {
      auto size_line = ReadLimitedLine();
      if (!size_line) throw ConnectionClosedError();
      std::uint64_t size = ParseChunkSize(*size_line);
      if (size == 0) break;
      CopyBody(size, sink);
      auto after = ReadLimitedLine();
      if (!after) throw ConnectionClosedError();
    }
    size_t trailer_bytes = 0;
    for (;;) {
      auto line = ReadLimitedLine();
      if (!line || line->empty()) break;
      trailer_bytes += line->size() + 2;
      if (trailer_bytes > kMaxHeaderBytes) ThrowTooLong();
      size_t colon = line->find(':');
      if (colon != std::string::npos) {
        headers_.push_back({Trim(line->substr(0, colon)), Trim(line->substr(colon + 1))});
      }
    }
    return;
  }

  if (length > 0) {
    CopyBody(static_cast<std::uint64_t>(length), sink);
    return;
  }

  for (;;) {
    std::string_view bytes = connection_.ReadSome(kBodyChunk, deadline_);
    if (bytes.empty()) break;
    sink(bytes);
  }
  connection_.Close();
}

// A body shorter than announced is a broken transfer, not a success.
void HttpClient::CopyBody(std::uint64_t count, const BodySink& sink) {
  while (count > 0) {
    std::string_view bytes = connection_.ReadSome(
        static_cast<size_t>(std::min<std::uint64_t>(count, kBodyChunk)), deadline_);
    if (bytes.empty()) throw ConnectionClosedError();
    sink(bytes);
    count -= bytes.size();
  }
}

std::optional<std::int64_t> ParseHttpDate(std::string_view text) {
  // "Www, DD Mon YYYY HH:MM:SS GMT": fixed width, so every field is read
  // from its place and checked.
  const std::string t = Trim(text);
  if (t.size() != 29 || t[3] != ',' || t[4] != ' ' || t[7] != ' ' || t[11] != ' ' || t[16] != ' ' ||
      t[19] != ':' || t[22] != ':' || t[25] != ' ' || t.substr(26) != "GMT") {
    return std::nullopt;
  }
  auto number = [&t](size_t at, size_t width) -> int {
    int value = 0;
    for (size_t i = at; i < at + width; ++i) {
      if (t[i] < '0' || t[i] > '9') return -1;
      value = value * 10 + (t[i] - '0');
    }
    return value;
  };
  static constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                            "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  int month = 0;
  for (int m = 0; m < 12; ++m) {
    if (t.compare(8, 3, kMonths[m]) == 0) month = m + 1;
  }
  const int day = number(5, 2), year = number(12, 4);
  const int hour = number(17, 2), minute = number(20, 2), second = number(23, 2);
  if (month == 0 || day < 0 || year < 1970 || hour < 0 || hour > 23 || minute < 0 || minute > 59 ||
      second < 0 || second > 60) {
    return std::nullopt;
  }
  const std::optional<platform::DateTime> date = platform::TryEncodeDate(year, month, day);
  if (!date) return std::nullopt;
  // DateTime counts days from 30 December 1899; 1 January 1970 is day 25569.
  constexpr std::int64_t kUnixEpochDay = 25569;
  const std::int64_t days = platform::DayOf(*date) - kUnixEpochDay;
  return days * 86400 + hour * 3600 + minute * 60 + second;
}

}  // namespace quilvane::transfer
