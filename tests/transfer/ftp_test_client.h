#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "platform/socket.h"
#include "tests/transfer/test_resolver.h"
#include "transfer/exchange_server.h"
#include "transfer/ftp_client.h"
#include "transfer/upload.h"

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

// What the data connection carries until the client closes it.
inline std::string ReadAll(platform::Socket& data) {
  std::string all;
  char buf[65536];
  for (;;) {
    size_t n = data.Read(std::span<char>(buf, sizeof buf));
    if (n == 0) return all;
    all.append(buf, n);
  }
}

// The progress rule with its limits made small: `min_bytes` in any second,
// with an idle limit that the slow peers here never reach.
inline transfer::FtpTimeouts PacedTimeouts(std::uint64_t min_bytes) {
  using namespace std::chrono_literals;
  transfer::FtpTimeouts t;
  t.connect = 2000ms;
  t.idle = 5000ms;
  t.progress.window = 1000ms;
  t.progress.min_bytes = min_bytes;
  t.progress.ceiling = 30s;
  return t;
}

// Uploads `arquivo` (transfer::Upload): the UploadError it throws, or
// nothing when the archive was stored.
inline std::optional<transfer::UploadError> UploadFailure(transfer::FtpClient& ftp,
                                                          const transfer::ExchangeServer& server,
                                                          const std::string& arquivo) {
  try {
    transfer::Upload(ftp, server, arquivo);
    return std::nullopt;
  } catch (const transfer::UploadError& e) {
    return e;
  }
}

}  // namespace quilvane::testing
