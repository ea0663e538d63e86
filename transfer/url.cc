#include "transfer/url.h"

#include <cctype>
#include <vector>

#include "platform/error.h"
#include "platform/text.h"

namespace quilvane::transfer {
namespace {

using platform::AsciiLower;

// Cuts "?query" and "#fragment" off `rest`.
void CutQueryAndFragment(std::string& rest, ParsedUrl& out) {
  size_t hash = rest.find('#');
  if (hash != std::string::npos) {
    out.fragment = rest.substr(hash + 1);
    rest.resize(hash);
  }
  size_t question = rest.find('?');
  if (question != std::string::npos) {
    out.query = rest.substr(question + 1);
    rest.resize(question);
  }
}

// Collapses runs of "/" and applies ".." segments.
std::string NormalizePath(const std::string& path) {
  std::vector<std::string> segments;
  size_t start = 0;
  while (start <= path.size()) {
    size_t slash = path.find('/', start);
    std::string seg =
        path.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
    if (slash == std::string::npos) {
      if (!seg.empty()) segments.push_back(seg);
      break;
    }
    if (seg == "..") {
      if (!segments.empty()) segments.pop_back();
    } else if (!seg.empty()) {
      segments.push_back(seg);
    }
    start = slash + 1;
  }
  std::string out = path.starts_with("/") ? "/" : "";
  for (const auto& seg : segments) out += seg + "/";
  return out;
}

int DefaultPort(const std::string& scheme) {
  if (scheme == "http") return 80;
  if (scheme == "https") return 443;
  return 0;
}

}  // namespace

ParsedUrl ParseUrl(std::string_view address) {
  ParsedUrl out;
  std::string text(address);
  size_t stop = text.find_first_of("?#");
  for (size_t i = 0; i < text.size() && i < stop; ++i) {
    if (text[i] == '\\') text[i] = '/';
  }
  std::string rest;
  size_t sep = text.find("://");
  if (sep != std::string::npos) {
    out.scheme = text.substr(0, sep);
    rest = text.substr(sep + 3);
    CutQueryAndFragment(rest, out);
    size_t slash = rest.find('/');
    std::string authority = rest.substr(0, slash);
    rest = slash == std::string::npos ? std::string() : rest.substr(slash + 1);
    size_t at = authority.rfind('@');
    if (at != std::string::npos) {
      std::string user = authority.substr(0, at);
      authority = authority.substr(at + 1);
      size_t colon = user.find(':');
      out.username = user.substr(0, colon);
      if (colon != std::string::npos) out.password = user.substr(colon + 1);
    }
    if (authority.starts_with("[")) {
      size_t close = authority.find(']');
      out.ipv6 = true;
      out.host = authority.substr(1, close == std::string::npos ? std::string::npos : close - 1);
      std::string after = close == std::string::npos ? std::string() : authority.substr(close + 1);
      if (after.starts_with(":")) out.port = after.substr(1);
    } else {
      size_t colon = authority.find(':');
      out.host = authority.substr(0, colon);
      if (colon != std::string::npos) out.port = authority.substr(colon + 1);
    }
    size_t last = rest.rfind('/');
    if (last == std::string::npos) {
      out.path = "/";
      out.document = rest;
    } else {
      out.path = "/" + rest.substr(0, last + 1);
      out.document = rest.substr(last + 1);
    }
  } else {
    rest = text;
    CutQueryAndFragment(rest, out);
    size_t last = rest.rfind('/');
    if (last == std::string::npos) {
      out.document = rest;
    } else {
      out.path = rest.substr(0, last + 1);
      out.document = rest.substr(last + 1);
    }
  }
  return out;
}

ResolvedUrl ResolveUrl(const ParsedUrl& url, CurrentAddress& current) {
  CurrentAddress next = current;
  if (url.path.starts_with("/")) {
    next.path = url.path;
  } else if (!url.path.empty()) {
    std::string joined = current.path;
    if (!joined.empty() && !joined.ends_with("/")) joined += "/";
    next.path = NormalizePath(joined + url.path);
  }
  next.document = url.document;
  next.query = url.query;
  if (!url.host.empty()) {
    next.host = url.host;
    next.ipv6 = url.ipv6;
  }
  std::string parsed_scheme = AsciiLower(url.scheme);
  if (!parsed_scheme.empty()) {
    next.scheme = parsed_scheme;
  } else {
    next.scheme = AsciiLower(current.scheme) == "https" ? "https" : "http";
  }
  if (!url.port.empty()) {
    next.port = url.port;
  } else if (parsed_scheme == "http" || parsed_scheme == "https") {
    next.port = std::to_string(DefaultPort(parsed_scheme));
  }
  if (next.port.empty()) throw platform::Error("Unknown Protocol");

  ResolvedUrl out;
  out.scheme = next.scheme;
  out.host = next.host;
  out.ipv6 = next.ipv6;
  if (next.port.size() > 5) throw platform::Error("Invalid port number: " + next.port);
  int port = 0;
  for (char c : next.port) {
    if (c < '0' || c > '9') throw platform::Error("Invalid port number: " + next.port);
    port = port * 10 + (c - '0');
  }
  if (port < 1 || port > 65535) throw platform::Error("Invalid port number: " + next.port);
  out.port = port;
  out.target = next.path + next.document;
  if (!next.query.empty()) out.target += "?" + next.query;
  if (out.target.empty()) out.target = "/";
  std::string host_text = next.ipv6 ? "[" + next.host + "]" : next.host;
  out.host_field = port == DefaultPort(out.scheme) ? host_text : host_text + ":" + next.port;
  current = next;
  return out;
}

}  // namespace quilvane::transfer
