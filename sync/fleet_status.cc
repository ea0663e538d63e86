#include "sync/fleet_status.h"

#include "platform/file.h"
#include "sync/fleet_ftp.h"
#include "sync/receipt_cache.h"
#include "transfer/exchange_server.h"

namespace quilvane::sync {

FleetStatus ReadFleetStatus(transfer::FtpClient& ftp, const Settings& settings,
                            const std::string& dir, platform::Env& env, platform::Logger& log,
                            RefreshCounts* counts) {
  const std::string archive = ArchiveName(settings.cnpj_servidor);
  FleetReadOptions options;
  options.cache_path = dir + kReceiptCacheName;
  FleetRead read = ReadFleet(ftp, ExchangeServerOf(settings), archive, env, options);
  if (!read.cache_error.empty()) {
    // Only the next read's speed depends on it: the page is still right.
    log.DoSaveLog("Falha ao gravar " + std::string(kReceiptCacheName) + ": " + read.cache_error);
  }
  if (counts) *counts = {read.reports.size(), read.fetched, read.connections, read.listing};
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
                       platform::Env& env, platform::Logger& log, RedBranchWatch& watch) {
  const FleetStatus status = ReadFleetStatus(ftp, settings, dir, env, log);
  const std::string page = WriteStatusPage(status, dir);
  watch.Note(status);
  StoreStatusPage(ftp, ExchangeServerOf(settings), page);
}

}  // namespace quilvane::sync
