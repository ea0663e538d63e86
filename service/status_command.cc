#include "service/status_command.h"

#include <cstdio>
#include <exception>

#include "platform/file.h"
#include "service/operator_commands.h"
#include "sync/fleet_ftp.h"
#include "sync/fleet_status.h"
#include "sync/log.h"
#include "sync/settings.h"
#include "transfer/exchange_server.h"

namespace quilvane::service {

int StatusCommand(const std::vector<std::string>& args, platform::Env& env) {
  if (!args.empty()) {
    std::fprintf(stderr, "usage: quilvane -STATUS\n");
    return 2;
  }
  const std::string dir = platform::ExecutableDir();
  const auto lock = TakeSwitchLock(dir, "-STATUS");
  if (!lock) return 1;
  sync::Log log(dir, env);
  log.set_echo(true);
  const sync::Settings settings = sync::ReadSettings(sync::SettingsPath(dir), env);
  transfer::FtpClient ftp;
  sync::FleetStatus status;
  sync::RefreshCounts counts;
  try {
    status = sync::ReadFleetStatus(ftp, settings, dir, env, log, &counts);
  } catch (const std::exception& e) {
    log.DoSaveLog(std::string("Falha ao ler os recibos das filiais: ") + e.what());
    return 1;
  }
  std::string read_line = "Recibos: " + std::to_string(counts.receipts);
  if (!counts.listing.empty()) {
    read_line += ", " + std::to_string(counts.fetched) + " lidos do servidor (" + counts.listing +
                 "; conexões: " + std::to_string(counts.connections) + "), os demais do cache";
  }
  std::fprintf(stderr, "%s\n", read_line.c_str());
  const std::string table = sync::StatusTable(status);
  std::fwrite(table.data(), 1, table.size(), stdout);
  std::fflush(stdout);
  std::string page;
  try {
    page = sync::WriteStatusPage(status, dir);
    std::fprintf(stderr, "Página escrita em %s\n", page.c_str());
    const transfer::ExchangeServer server = sync::ExchangeServerOf(settings);
    sync::StoreStatusPage(ftp, server, page);
    std::fprintf(stderr, "Página publicada em %s%s%s\n", transfer::WebBaseAddress(server).c_str(),
                 transfer::kWebPath, sync::kStatusPageName);
  } catch (const std::exception& e) {
    log.DoSaveLog(std::string("Falha ao publicar a página de situação: ") + e.what());
  }
  return 0;
}

}  // namespace quilvane::service
