#pragma once

// How -CHECK judges each item from what was probed. Nothing here touches the
// site: no database, network or file; the current time comes in as a
// parameter, so every boundary is a table test.

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/datetime.h"
#include "platform/regional.h"
#include "platform/tls.h"
#include "sync/site_check.h"

namespace quilvane::sync {

// The time as the check shows it: the UTC clock (seconds since 1 January
// 1970), the local clock and the regional settings, read together once.
struct ClockReading {
  std::int64_t utc_now = 0;
  platform::DateTime local_now = 0;
  platform::FormatSettings regional;

  // A UTC time as the local clock shows it: "10/12/2026 14:15". The local
  // offset is the local clock against the UTC one, to the quarter hour.
  std::string LocalText(std::int64_t utc_seconds) const;
};

// Messages of the lower layers may hold several lines (the database's);
// each result is one line: "a; b", with no trailing separator.
std::string OneLine(const std::string& text);

// "12,3 GB" with the regional decimal separator; "999 bytes" below 1 KB.
std::string FormatBytes(std::uint64_t bytes, char decimal_separator);

// "CNPJServidor" of the settings file `settings_path`: FALHA when empty,
// AVISO unless it has 14 digits.
CheckResult JudgeCnpj(const std::string& cnpj, const std::string& settings_path);

// "SincronizarPrecoFarmaciaPopular" as written; nothing when absent.
std::optional<CheckResult> JudgePopularPrices(const std::string& text);

// "ChavePublica" as written; nothing when absent.
std::optional<CheckResult> JudgePublicKeys(const std::string& text);

// "Última sincronização" from DataUltimaSincronizacao's text, against the
// local day of `now`.
CheckResult JudgeLastSync(const std::string& text, platform::DateTime now,
                          const platform::FormatSettings& regional);

// What loading the Firebird client gave: the file that loaded (empty: none
// did) and whether it has the client's entry point, else the last error.
struct ClientLibraryProbe {
  std::string file;
  bool has_entry = false;
  std::string last_error;
};
// "Biblioteca do Firebird"; `names` were tried, `architecture` is the
// process's.
CheckResult JudgeClientLibrary(const ClientLibraryProbe& probe,
                               const std::vector<std::string>& names,
                               const std::string& architecture);

// "Banco de dados" for `name` ("server:path") that could not be connected
// because of `why`, then "Função do site" left undetermined when a CNPJ
// was set.
std::vector<CheckResult> JudgeDatabaseFailure(const std::string& name, const std::string& why,
                                              const std::string& cnpj);

enum class SiteRole { kUnknown, kHeadOffice, kBranch };

struct RoleVerdict {
  SiteRole role = SiteRole::kUnknown;
  std::optional<CheckResult> result;  // none without CNPJServidor: reported apart
};
// "Função do site" from PADRAO.CGC against CNPJServidor (and its digits).
RoleVerdict JudgeRole(const std::string& cgc, const std::string& cnpj, const std::string& digits);

// What the program's folder gave: why the probe file could not be written
// and deleted (none: it could), then the free space or why it is unknown.
struct FolderProbe {
  std::optional<std::string> write_error;
  std::optional<std::uint64_t> free_bytes;
  std::string space_error;
};
// "Pasta do programa" for `dir` with the thresholds of `options`.
CheckResult JudgeProgramFolder(const std::string& dir, const FolderProbe& probe,
                               const SiteCheckOptions& options, char decimal_separator);

// What the log's path gave: whether something is there, and why it could
// not be opened for append (none: it could).
struct LogProbe {
  bool exists = false;
  std::optional<std::string> open_error;
};
CheckResult JudgeLog(const std::string& path, const LogProbe& probe, bool folder_writable);

// "Relógio": the exchange server's Date (none: no answer) against the local
// UTC clock read when it arrived.
CheckResult JudgeClock(std::optional<std::int64_t> server_date, std::int64_t local_at_date,
                       std::chrono::seconds tolerance);

// What one download address gave.
struct AddressProbe {
  bool answered = false;  // a 2xx response: the cycle downloads from it and stops
  bool zip = false;       // whose body starts as an archive does
};

// How each download address counts, given in the order the cycle tries them.
// The cycle uses the first that answers. When that one serves the archive,
// it and every address that serves one are OK, a failing address before it
// is an AVISO (the cycle only loses time there) and one after it is OK (a
// spare the cycle never reaches). Otherwise every address that does not
// serve the archive is a FALHA.
std::vector<CheckStatus> RateDownloadAddresses(const std::vector<AddressProbe>& probes);

// A TLS certificate still good for fewer days than this is an AVISO.
inline constexpr int kCertificateWarningDays = 21;

// How a certificate that passed the checks counts at `now_unix`: AVISO when
// it ends within kCertificateWarningDays, FALHA once it has ended.
CheckStatus RateCertificate(std::int64_t not_after_unix, std::int64_t now_unix);

// Everything one download request showed.
struct WebProbe : AddressProbe {
  std::int64_t length = -1;  // the Content-Length; -1: none readable
  std::optional<std::int64_t> last_modified;
  std::string error;      // why it did not answer
  std::string final_url;  // what answered, after redirects
  std::optional<platform::TlsPeerInfo> tls;
  // The server's certificate was refused (not trusted, another name,
  // expired): a FALHA wherever the address stands.
  bool certificate_refused = false;
};

// "Download 1" to "Download 3" for the three addresses the cycle tries, in
// its order, and what each gave.
std::vector<CheckResult> JudgeDownloads(const std::array<std::string, 3>& addresses,
                                        const std::array<WebProbe, 3>& probes,
                                        const ClockReading& clock);

}  // namespace quilvane::sync
