#include "sync/fleet_status.h"

#include "exchange/literal.h"
#include "platform/file.h"
#include "sync/fleet_ftp.h"
#include "transfer/exchange_server.h"

namespace quilvane::sync {

FleetStatus ReadFleetStatus(transfer::FtpClient& ftp, const Settings& settings,
                            platform::Env& env) {
  const std::string archive = exchange::ExtraiNumero(settings.cnpj_servidor) + ".ZIP";
  FleetRead read = ReadFleet(ftp, ExchangeServerOf(settings), archive, env);
  FleetStatus status;
  status.reports = std::move(read.reports);
  status.published_day = read.published_day;
  status.unread_receipts = read.unread;
  status.now = LocalMomentOf(env.Now(), UtcOffsetMinutes(env));
  return status;
}

std::string WriteStatusPage(const FleetStatus& status, const std::string& dir) {
  const std::string path = dir + kStatusPageName;
  platform::WriteFileAtomically(path, StatusHtml(status));
  return path;
}

void RefreshStatusPage(transfer::FtpClient& ftp, const Settings& settings, const std::string& dir,
                       platform::Env& env, RedBranchWatch& watch) {
  const FleetStatus status = ReadFleetStatus(ftp, settings, env);
  const std::string page = WriteStatusPage(status, dir);
  watch.Note(status);
  StoreStatusPage(ftp, ExchangeServerOf(settings), page);
}

}  // namespace quilvane::sync
