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

// The name the copy being stored beside `remote` has until it is whole:
// unique per upload, never a name that a branch or an older site asks for
// ("<remote>.<16 hex digits>.tmp").
std::string TemporaryRemoteName(const std::string& remote);
// Whether a listed `entry` is such a copy for `remote` (any letter case).
bool IsTemporaryRemoteName(const std::string& entry, const std::string& remote);

// Stores the local file as `remote` in the current folder so that `remote`
// never holds part of it: the bytes go to a temporary name, which is then
// renamed over `remote`; where the server refuses to rename over an existing
// file, the old `remote` is deleted first. A failed store or rename leaves
// the old `remote` as it was (unless that deletion was needed) and removes
// the temporary file when the server lets it. Throws the client's errors.
void PublishFile(FtpClient& ftp, const std::string& local_path, const std::string& remote);

// Sends the exchange archive `arquivo` (a full local path) into the exchange
// folder under its upper-case name, replacing the copy of an earlier day at
// once (PublishFile), so a branch downloading meanwhile gets the old or the
// new archive whole. Temporary copies an interrupted upload left are removed.
// The connection is closed on every path. Throws UploadError when connecting
// or storing fails, and the client's platform::Error for a failure while
// changing folder or listing.
void Upload(FtpClient& ftp, const ExchangeServer& server, const std::string& arquivo);

// Sets `ftp` for the exchange server as every session with it runs: binary,
// passive, the server's host, port, protection and account with its
// password.
void ConfigureForExchange(FtpClient& ftp, const ExchangeServer& server);

}  // namespace quilvane::transfer
