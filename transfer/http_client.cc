#include "transfer/http_client.h"

#include <algorithm>

#include "platform/datetime.h"
#include "platform/text.h"
#include "transfer/http_client_internal.h"

namespace quilvane::transfer {
namespace {

using internal::kMaxHeaderBytes;
using internal::Lower;
using internal::ThrowTooLong;
using internal::Trim;
using platform::EqualsIgnoreAsciiCase;
using platform::SteadyClock;

// Caps on what a server can make the client loop on.
constexpr int kMaxInterimResponses = 20;

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
  const std::int64_t days = platform::DayOf(*date) - platform::kUnixEpochDay;
  return days * platform::kSecondsPerDay + hour * 3600 + minute * 60 + second;
}

}  // namespace quilvane::transfer
