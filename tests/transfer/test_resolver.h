#pragma once

#include <set>
#include <string>

#include "platform/socket.h"

namespace quilvane::testing {

// Resolves only the given names (and dotted addresses) to 127.0.0.1; any
// other name is "Host not found." No lookup ever leaves the machine.
inline platform::Resolver LoopbackResolver(std::set<std::string> names) {
  return [names = std::move(names)](const std::string& host) {
    platform::Ipv4Address address;
    if (platform::ParseIpv4(host, &address)) return address;
    if (names.count(host)) return platform::Ipv4Address{0x7f000001};
    throw platform::SocketError(platform::kSocketHostNotFound);
  };
}

}  // namespace quilvane::testing
