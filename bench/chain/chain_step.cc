// One step of a day, alone, in a site folder prepared like a real site
// (Quilvane.ini, tolmarc.ini): export, pack, upload, download, unpack or
// import. Prints the step's wall time; run.py adds peak memory and the
// anchors. The steps call the same code the cycle calls.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

#include "archive/compactar.h"
#include "exchange/literal.h"
#include "platform/env.h"
#include "platform/file.h"
#include "sync/exchange_steps.h"
#include "sync/log.h"
#include "sync/settings.h"
#include "sync/site_database.h"
#include "transfer/download.h"
#include "transfer/exchange_server.h"

using namespace quilvane;

namespace {

bool Run(const std::string& step, const std::string& dir) {
  platform::Env& env = platform::Env::Default();
  sync::Log log(dir, env);
  log.set_echo(true);
  const sync::Settings s = sync::ReadSettings(sync::SettingsPath(dir), env);
  const std::string digits = exchange::ExtraiNumero(s.cnpj_servidor);
  const std::string sql = sync::ExchangeFilePath(dir, s.cnpj_servidor);
  const std::string zip = archive::ArchivePathFor(sql);
  const auto server = sync::ExchangeServerOf(s);
  if (step == "export" || step == "import") {
    sync::SiteDatabase c{platform::Env::Default()};
    if (!sync::ConectarBanco(c, dir, log)) return false;
    if (step == "export") {
      sync::ExportPrices(c, sql, s.sincronizar_preco_farmacia_popular, env);
    } else {
      const auto r =
          sync::ImportPrices(c, sql, s.data_ultima_sincronizacao, sync::SettingsPath(dir), env);
      std::fprintf(stderr, "applied %d statements\n", r.statements);
    }
    c.TBProdutos.Close();
    c.Connvelstrand.Disconnect();
    return true;
  }
  if (step == "pack") return sync::CompactarArquivo(sql, log, env);
  if (step == "unpack") return sync::DescompactarArquivo(zip, dir, log);
  if (step == "upload") {
    transfer::FtpClient ftp;
    return sync::Upload(ftp, server, zip, log);
  }
  if (step == "download") {
    transfer::HttpClient http;
    transfer::ConfigureWebClient(http, server);
    return sync::DownloadFile(
        http, transfer::DownloadSource(server, digits), sync::ArchiveName(s.cnpj_servidor), false,
        dir, [](const std::string&) { return true; }, log);
  }
  std::fprintf(stderr, "unknown step %s\n", step.c_str());
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: chain_step export|pack|upload|download|unpack|import SITE_DIR/\n");
    return 2;
  }
  std::string dir = argv[2];
  if (dir.back() != '/') dir += '/';
  const auto start = std::chrono::steady_clock::now();
  bool ok = false;
  try {
    ok = Run(argv[1], dir);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s: %s\n", argv[1], e.what());
  }
  const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
  std::printf("%s %.3f\n", argv[1], took.count());
  return ok ? 0 : 1;
}
