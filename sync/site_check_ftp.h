#pragma once

// -CHECK's items for the exchange server's FTP side, apart from the rest of
// the site check: the password's settings everywhere, and at a head office
// the login and the exchange folder.

#include <functional>
#include <string>

#include "sync/site_check.h"
#include "transfer/exchange_server.h"

namespace quilvane::sync {

// Receives each item found (the detail is made one line by the caller).
using CheckSink = std::function<void(CheckStatus, std::string item, std::string detail)>;

// "SenhaFTP", for a settings file `settings_path` that holds one: AVISO
// when every local user can read the file, or when the password would
// cross the network without TLS; OK otherwise. The password is never shown.
void CheckFtpPassword(const std::string& settings_path, const transfer::ExchangeServer& server,
                      const CheckSink& add);

// The head office's FTP side: the login ("FTP"), then the exchange folder
// listed and written ("Pasta de troca") with a probe file stored and
// deleted; `dir` is the program's folder (the probe's local copy) and
// `digits` the archive's name without ".ZIP".
void CheckFtpSide(const transfer::ExchangeServer& server, const std::string& dir,
                  const std::string& digits, const CheckSink& add);

}  // namespace quilvane::sync
