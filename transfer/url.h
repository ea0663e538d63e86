#pragma once

#include <string>
#include <string_view>

namespace quilvane::transfer {

// The parts of an address as written; any may be empty.
struct ParsedUrl {
  std::string scheme;
  std::string username;
  std::string password;
  std::string host;
  bool ipv6 = false;  // the host was written in brackets
  std::string port;
  std::string path;  // directory path, up to and including its last "/"
  std::string document;
  std::string query;
  std::string fragment;
};

ParsedUrl ParseUrl(std::string_view address);

// What the HTTP client keeps of the last resolved address.
struct CurrentAddress {
  std::string scheme;
  std::string host;
  bool ipv6 = false;
  std::string port;
  std::string path;
  std::string document;
  std::string query;
};

// A request's target after resolution.
struct ResolvedUrl {
  std::string scheme;  // lower case
  std::string host;
  bool ipv6 = false;
  int port = 0;
  std::string target;      // path + document [+ "?" + query]
  std::string host_field;  // host [+ ":" + port unless the scheme's default]
};

// Resolves `url` against `current` and stores the result in it; an address
// without "://" is relative to the previous request. Throws platform::Error
// "Unknown Protocol" when no port can be told, or for a malformed port.
ResolvedUrl ResolveUrl(const ParsedUrl& url, CurrentAddress& current);

}  // namespace quilvane::transfer
