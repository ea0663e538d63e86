#pragma once

// -CHECK's items for the exchange server's FTP side, apart from the rest of
// the site check: the password's settings everywhere, and at a head office
// the login and the exchange folder.

#include <cstdint>
#include <functional>
#include <string>

#include "platform/tls.h"
#include "sync/site_check_verdicts.h"
#include "transfer/exchange_server.h"

namespace quilvane::sync {

// Receives each item found (the detail is made one line by the caller).
using CheckSink = std::function<void(CheckStatus, std::string item, std::string detail)>;

// "SenhaFTP", for a settings file `settings_path` that holds one: AVISO
// when every local user can read the file, or when the password would
// cross the network without TLS; OK otherwise. The password is never shown.
void CheckFtpPassword(const std::string& settings_path, const transfer::ExchangeServer& server,
                      const CheckSink& add);

// The line of a TLS endpoint that answered: "TLSv1.3, CN=..., emitida por
// CN=..., válida até <local_text of the expiry>", with what to do when it
// is an AVISO.
std::string CertificateDetail(const platform::TlsPeerInfo& peer, std::int64_t utc_now,
                              const std::function<std::string(std::int64_t)>& local_text);

// What an operator does about a TLS failure of the endpoint `key` names
// ("ServidorFTP", "DominioWeb").
std::string TlsFailureAdvice(platform::TlsFailure failure, const std::string& key);

// The time as the check shows it: "now" in UTC seconds, and a UTC time as
// the local clock shows it.
struct CheckTimes {
  std::function<std::int64_t()> utc_now;
  std::function<std::string(std::int64_t)> local_text;
};

// The head office's FTP side: the login ("FTP"), with TLS its certificate
// ("Certificado do FTP"), then the exchange folder listed and written
// ("Pasta de troca") with a probe file stored and deleted; `dir` is the
// program's folder (the probe's local copy) and `digits` the archive's
// name without ".ZIP".
void CheckFtpSide(const transfer::ExchangeServer& server, const std::string& dir,
                  const std::string& digits, const CheckTimes& clock, const CheckSink& add);

}  // namespace quilvane::sync
