#pragma once

#include <string>

#include "platform/error.h"
#include "transfer/exchange_server.h"
#include "transfer/ftp_client.h"

namespace quilvane::transfer {

// The remote name of the archive: the file name part of `arquivo` with the
// ASCII letters a-z in upper case.
std::string RemoteArchiveName(const std::string& arquivo);

// The connection or the store failed; what() is the client's error.
class UploadError : public platform::Error {
 public:
  enum class Step { kConnect, kStore };
  UploadError(Step step, const std::string& message) : platform::Error(message), step_(step) {}
  Step step() const { return step_; }

 private:
  Step step_;
};

// Sends the exchange archive `arquivo` (a full local path) into the exchange
// folder under its upper-case name, deleting the copy of an earlier day. The
// connection is closed on every path. Throws UploadError when connecting or
// storing fails, and the client's platform::Error for a failure while
// changing folder, listing or deleting.
void Upload(FtpClient& ftp, const ExchangeServer& server, const std::string& arquivo);

// Sets `ftp` for the exchange server as every session with it runs: binary,
// passive, the server's host, port and account with the system's password.
void ConfigureForExchange(FtpClient& ftp, const ExchangeServer& server);

}  // namespace quilvane::transfer
