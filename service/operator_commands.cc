#include "service/operator_commands.h"

#include <cstdio>
#include <exception>

#include "archive/compactar.h"
#include "db/components.h"
#include "exchange/export.h"
#include "exchange/import.h"
#include "exchange/literal.h"
#include "platform/env.h"
#include "platform/file.h"
#include "service/host.h"
#include "sync/cycle.h"
#include "sync/log.h"
#include "sync/module.h"
#include "sync/settings.h"
#include "sync/site_operations.h"

namespace quilvane::service {
namespace {

// The log beside the executable, echoed to standard error.
struct Console {
  Console() : dir(platform::ExecutableDir()), log(dir) { log.set_echo(true); }
  std::string dir;
  sync::Log log;
};

int Usage(const char* text) {
  std::fprintf(stderr, "usage: quilvane %s\n", text);
  return 2;
}

// Runs `work` on a connected database; an error that escapes it is logged
// as the cycle's error handler would, and the connection is always closed.
template <typename Work>
int WithDatabase(Console& console, Work&& work) {
  db::Components c;
  if (!db::ConectarBanco(c, console.dir, console.log)) return 1;
  int status = 1;
  try {
    status = work(c);
  } catch (const std::exception& e) {
    console.log.DoSaveLog(e.what());
    status = 1;
  }
  try {
    c.TBPadrao.Close();
    c.TBProdutos.Close();
    c.Connvelstrand.Disconnect();
  } catch (const std::exception& e) {
    console.log.DoSaveLog(e.what());
    status = 1;
  }
  return status;
}

}  // namespace

int ExportCommand(const std::vector<std::string>& args) {
  if (args.size() > 1) return Usage("-EXPORT [FILE]");
  Console console;
  platform::Env& env = platform::Env::Default();
  const sync::Settings settings = sync::ReadSettings(sync::SettingsPath(console.dir), env);
  const std::string file =
      args.empty() ? console.dir + exchange::ExtraiNumero(settings.cnpj_servidor) + ".SQL" : args[0];
  return WithDatabase(console, [&](db::Components& c) {
    try {
      exchange::ExportPrices(c, file, settings.sincronizar_preco_farmacia_popular);
    } catch (...) {
      // Never leave a shortened exchange file behind.
      try {
        platform::DeleteFile(file);
      } catch (const std::exception&) {
      }
      throw;
    }
    std::fprintf(stderr, "Exported to %s\n", file.c_str());
    return 0;
  });
}

int ImportCommand(const std::vector<std::string>& args) {
  if (args.size() != 1) return Usage("-IMPORT FILE");
  Console console;
  platform::Env& env = platform::Env::Default();
  const std::string settings_path = sync::SettingsPath(console.dir);
  sync::Settings settings = sync::ReadSettings(settings_path, env);
  sync::DiscardFutureLastSync(settings, env);
  return WithDatabase(console, [&](db::Components& c) {
    const exchange::ImportResult r =
        exchange::ImportPrices(c, args[0], settings.data_ultima_sincronizacao, settings_path);
    if (r.applied) {
      std::printf("Applied %d statements from %s\n", r.statements, args[0].c_str());
    } else {
      std::printf("Not applied: %s is not newer than the last synchronisation\n", args[0].c_str());
    }
    return 0;
  });
}

int PackCommand(const std::vector<std::string>& args) {
  if (args.size() != 1) return Usage("-PACK FILE");
  Console console;
  if (!archive::CompactarArquivo(args[0], console.log)) return 1;
  std::fprintf(stderr, "Packed into %s\n", archive::ArchivePathFor(args[0]).c_str());
  return 0;
}

int UnpackCommand(const std::vector<std::string>& args) {
  if (args.empty() || args.size() > 2) return Usage("-UNPACK ARCHIVE [FOLDER]");
  Console console;
  std::string folder = args.size() == 2 ? args[1] : console.dir;
  if (!folder.empty() && folder.back() != platform::PathSeparator()) {
    folder += platform::PathSeparator();
  }
  if (!archive::DescompactarArquivo(args[0], folder, console.log)) return 1;
  std::fprintf(stderr, "Unpacked into %s\n", folder.c_str());
  return 0;
}

int RunOnce() {
  sync::SrvQuilvane module(platform::ExecutableDir(), sync::MakeSiteOperations);
  module.ServiceCreate();
  module.log().set_echo(true);
  try {
    return module.RunOnce() ? 0 : 1;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s: %s\n", kServiceName, e.what());
    return 1;
  }
}

}  // namespace quilvane::service
