#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "tests/transfer/test_resolver.h"
#include "transfer/ftp_client.h"

namespace quilvane::testing {

// The client as the FTP tests use it: the account the login script
// expects, "ftp.test" on the loopback, short limits.
inline transfer::FtpClient& Configure(transfer::FtpClient& ftp, std::uint16_t port,
                                      std::string host = "ftp.test") {
  using namespace std::chrono_literals;
  ftp.set_host(host);
  ftp.set_port(port);
  ftp.set_username("conta@quilvane.test");
  ftp.set_password("mirvex");
  ftp.set_passive(true);
  ftp.set_resolver(LoopbackResolver({"ftp.test"}));
  transfer::FtpTimeouts timeouts;
  timeouts.idle = 400ms;
  timeouts.connect = 2000ms;
  ftp.set_timeouts(timeouts);
  return ftp;
}

}  // namespace quilvane::testing
