#pragma once

// What the POSIX and Windows socket files share: deadlines, the Winsock
// texts the log shows on every system, and the names answered without a
// name server. socket_common.cc also holds the code both hosts run alike
// (name lookup, moves, WriteAll).
#include <chrono>
#include <optional>
#include <string>

#include "platform/socket.h"

namespace quilvane::platform::internal {

// Time left until `deadline`, never negative; max() for no deadline.
std::chrono::milliseconds Remaining(Deadline deadline);

// The earlier of `deadline` and `idle` from now (no idle limit when `idle`
// is not positive or longer than a year).
Deadline IdleLimit(std::chrono::milliseconds idle, Deadline deadline);

// The Winsock text of a socket error number, or nullptr.
const char* WinsockText(int code);

// Starts the host's socket library once (Winsock); nothing on POSIX.
// Throws SocketError.
void StartSockets();

// A dotted IPv4 address, or a name under "localhost" (the loopback): both
// are answered here. A name under "invalid" never exists and throws
// SocketError "Host not found." (RFC 6761). nullopt: ask the name server.
std::optional<Ipv4Address> ResolveWithoutNameServer(const std::string& host);

}  // namespace quilvane::platform::internal
