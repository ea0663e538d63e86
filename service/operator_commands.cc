#include "service/operator_commands.h"

#include <cstdio>
#include <exception>

#include "archive/compactar.h"
#include "exchange/signing_key.h"
#include "platform/file.h"
#include "platform/path.h"
#include "platform/private_file.h"
#include "platform/temporary_file.h"
#include "platform/text.h"
#include "service/host.h"
#include "sync/cycle.h"
#include "sync/exchange_steps.h"
#include "sync/instance.h"
#include "sync/log.h"
#include "sync/module.h"
#include "sync/settings.h"
#include "sync/signed_exchange.h"
#include "sync/site_check.h"
#include "sync/site_operations.h"

namespace quilvane::service {
namespace {

// The log beside the executable, echoed to standard error.
struct Console {
  explicit Console(platform::Env& e) : dir(platform::ExecutableDir()), env(e), log(dir, e) {
    log.set_echo(true);
  }
  std::string dir;
  platform::Env& env;
  sync::Log log;
};

int Usage(const char* text) {
  std::fprintf(stderr, "usage: quilvane %s\n", text);
  return 2;
}

// Runs `work` on the site's operations once connected as the cycle
// connects; an error that escapes it is logged as the cycle's error handler
// would, and the cycle's cleanup always runs.
template <typename Work>
int WithSite(Console& console, const sync::Settings& settings, Work&& work) {
  const auto ops = sync::MakeSiteOperations(console.dir, console.log, console.env);
  ops->Configure(settings);
  if (!ops->ConectarBanco()) return 1;
  int status = 1;
  try {
    status = work(*ops);
  } catch (const std::exception& e) {
    console.log.DoSaveLog(e.what());
    status = 1;
  }
  try {
    // Nothing named: the operator's files stay.
    sync::CleanupSite(*ops, "");
  } catch (const std::exception& e) {
    console.log.DoSaveLog(e.what());
    status = 1;
  }
  return status;
}

}  // namespace

std::optional<platform::InstanceLock> TakeSwitchLock(const std::string& dir, const char* what) {
  const std::string path = sync::LockFilePath(dir);
  std::optional<platform::InstanceLock> lock = platform::InstanceLock::TryTake(path, what);
  if (!lock) {
    std::fprintf(stderr, "%s: tente de novo quando terminar\n",
                 sync::BusyText(platform::ReadLockHolder(path)).c_str());
  }
  return lock;
}

int ExportCommand(const std::vector<std::string>& args, platform::Env& env) {
  if (args.size() > 1) return Usage("-EXPORT [FILE]");
  const auto lock = TakeSwitchLock(platform::ExecutableDir(), "-EXPORT");
  if (!lock) return 1;
  Console console(env);
  const sync::Settings settings = sync::ReadSettings(sync::SettingsPath(console.dir), env);
  const std::string file =
      args.empty() ? sync::ExchangeFilePath(console.dir, settings.cnpj_servidor) : args[0];
  return WithSite(console, settings, [&](sync::Operations& ops) {
    ops.ExportPrices(file, settings.sincronizar_preco_farmacia_popular);
    std::fprintf(stderr, "Exported to %s\n", file.c_str());
    return 0;
  });
}

namespace {

// Writes nowhere but to standard error: a dry run leaves no trace in the log.
class ConsoleOnlyLogger final : public platform::Logger {
 public:
  void DoSaveLog(std::string_view message) override {
    std::fprintf(stderr, "%.*s\n", static_cast<int>(message.size()), message.data());
  }
};

void PrintUnmatched(const exchange::UnmatchedCodes& unmatched, const char* verb) {
  if (unmatched.count == 0) return;
  std::printf("%d statement(s) %s no product of this database:", unmatched.count, verb);
  constexpr std::size_t kShown = 20;
  for (std::size_t i = 0; i < unmatched.codes.size() && i < kShown; ++i) {
    std::printf("%s %s", i > 0 ? "," : "", unmatched.codes[i].c_str());
  }
  std::printf("%s\n", unmatched.count > static_cast<int>(kShown) ? ", ..." : "");
}

// The exchange file `arg` names: itself, or, for an archive (a name ending
// in ".ZIP"), its exchange file unpacked beside the program, as the cycle
// unpacks it: the member named after `cnpj_servidor`'s digits (after the
// archive's own name when that setting is empty). Empty when the archive
// could not be unpacked (logged).
class ImportSource {
 public:
  ImportSource(sync::Operations& ops, const std::string& dir, const std::string& arg,
               const std::string& cnpj_servidor) {
    const std::string name = platform::FileNameOf(arg);
    const std::string_view zip = sync::kArchiveExtension;
    if (name.size() <= zip.size() ||
        platform::AsciiUpper(name.substr(name.size() - zip.size())) != zip) {
      path_ = arg;
      return;
    }
    const std::string member = cnpj_servidor.empty() ? name.substr(0, name.size() - zip.size()) +
                                                           sync::kExchangeFileExtension
                                                     : sync::ExchangeFileName(cnpj_servidor);
    if (ops.UnpackExchangeFile(arg, member)) {
      path_ = dir + member;
      unpacked_ = platform::TemporaryFile(path_);
    }
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
  platform::TemporaryFile unpacked_;
};

// Products changed, unchanged (SomenteAlterados) and not found; the
// head office's products without a code apart, as no branch can match them.
void PrintChangeCounts(const exchange::ImportResult& r) {
  std::printf("Products changed: %d, unchanged: %d, not found: %d\n", r.changed, r.unchanged,
              r.unmatched.count);
  if (r.no_code > 0) {
    std::printf("%d statement(s) without a product code (NULL or empty): head-office data\n",
                r.no_code);
  }
}

// The first changes a dry run found: code; column; before; after.
void PrintFirstChanges(const exchange::ImportResult& r) {
  if (r.change_count == 0) return;
  std::printf("%d column(s) would change; the first %zu (code; column; before; after):\n",
              r.change_count, r.first_changes.size());
  for (const exchange::Change& c : r.first_changes) {
    std::printf("  %s; %.*s; %s; %s\n", c.code.c_str(), static_cast<int>(c.column.size()),
                c.column.data(), c.before.c_str(), c.after.c_str());
  }
}

// Prints what the dry run of `file` found; the exit status.
int ReportDryRun(const std::string& file, const exchange::ImportResult& r) {
  std::printf("Dry run of %s: nothing was changed or recorded.\n", file.c_str());
  if (!r.applied) {
    std::printf("It would not be applied: not newer than the last synchronisation.\n");
    return 0;
  }
  std::printf("%d statement(s) would apply.\n", r.statements);
  PrintChangeCounts(r);
  PrintFirstChanges(r);
  PrintUnmatched(r.unmatched, "would match");
  if (r.refused_line == 0) return 0;
  constexpr std::size_t kShownText = 300;
  std::printf("The database would refuse line %d: %s%s\n%s\n", r.refused_line,
              r.refused_statement.substr(0, kShownText).c_str(),
              r.refused_statement.size() > kShownText ? "..." : "", r.refused_error.c_str());
  return 1;
}

int DryRun(const std::string& arg, const sync::Settings& settings, platform::Env& env) {
  ConsoleOnlyLogger logger;
  const std::string dir = platform::ExecutableDir();
  const auto ops = sync::MakeSiteOperations(dir, logger, env);
  ops->Configure(settings);
  if (!ops->ConectarBanco()) return 1;
  int status = 1;
  try {
    const ImportSource source(*ops, dir, arg, settings.cnpj_servidor);
    // An archive that could not be unpacked is already reported.
    if (!source.path().empty()) {
      // Always compared: it shows which products the file would change,
      // whether or not SomenteAlterados then spares the others.
      exchange::ImportOptions options = exchange::ImportOptions::DryRun();
      options.only_changed = true;
      if (!settings.somente_alterados) {
        std::printf("SomenteAlterados is off: an import would update every product found.\n");
      }
      status = ReportDryRun(
          source.path(),
          ops->ImportPrices(source.path(), settings.data_ultima_sincronizacao, options));
    }
  } catch (const std::exception& e) {
    logger.DoSaveLog(e.what());
  }
  try {
    sync::CleanupSite(*ops, "");
  } catch (const std::exception& e) {
    logger.DoSaveLog(e.what());
    status = 1;
  }
  return status;
}

}  // namespace

int ImportCommand(const std::vector<std::string>& args, bool dry_run, bool force,
                  platform::Env& env) {
  if (args.size() != 1) return Usage("-IMPORT FILE [-DRYRUN] [-FORCE]");
  const std::string dir = platform::ExecutableDir();
  // Also a dry run: it unpacks the archive beside the program, where a
  // cycle would unpack its own.
  const auto lock = TakeSwitchLock(dir, "-IMPORT");
  if (!lock) return 1;
  sync::Settings settings = sync::ReadSettings(sync::SettingsPath(dir), env);
  sync::DiscardFutureLastSync(settings, env);
  if (dry_run) return DryRun(args[0], settings, env);
  Console console(env);
  return WithSite(console, settings, [&](sync::Operations& ops) {
    const ImportSource source(ops, dir, args[0], settings.cnpj_servidor);
    if (source.path().empty()) return 1;
    exchange::ImportOptions options;
    options.forced = force;
    options.only_changed = settings.somente_alterados;
    const exchange::ImportResult r =
        ops.ImportPrices(source.path(), settings.data_ultima_sincronizacao, options);
    if (r.applied) {
      std::printf("Applied %d statements from %s\n", r.statements, args[0].c_str());
      PrintChangeCounts(r);
      PrintUnmatched(r.unmatched, "matched");
      if (r.unmatched.count > 0) console.log.DoSaveLog(sync::UnmatchedCodesLine(r.unmatched));
      if (r.no_code > 0) console.log.DoSaveLog(sync::NoCodeLine(r.no_code));
    } else {
      std::printf("Not applied: %s is not newer than the last synchronisation\n", args[0].c_str());
    }
    return 0;
  });
}

int PackCommand(const std::vector<std::string>& args, platform::Env& env) {
  if (args.size() != 1) return Usage("-PACK FILE");
  const auto lock = TakeSwitchLock(platform::ExecutableDir(), "-PACK");
  if (!lock) return 1;
  Console console(env);
  if (!sync::CompactarArquivo(args[0], console.log, env, sync::KeyFilePath(console.dir))) return 1;
  std::fprintf(stderr, "Packed into %s\n", archive::ArchivePathFor(args[0]).c_str());
  return 0;
}

int KeygenCommand() {
  const auto lock = TakeSwitchLock(platform::ExecutableDir(), "-KEYGEN");
  if (!lock) return 1;
  const std::string path = sync::KeyFilePath(platform::ExecutableDir());
  try {
    const exchange::PrivateKey key = exchange::GenerateKeyFile(path);
    std::fprintf(stderr, "Created %s: keep it private, and back it up.\n", path.c_str());
    std::printf("ChavePublica=%s\n", exchange::EncodePublicKey(key.public_key()).c_str());
    return 0;
  } catch (const platform::FileExistsError&) {
    std::fprintf(stderr,
                 "%s already exists and was left as it is: delete it first to make a new key "
                 "(every branch then needs the new ChavePublica).\n",
                 path.c_str());
    return 1;
  }
}

int UnpackCommand(const std::vector<std::string>& args, platform::Env& env) {
  if (args.empty() || args.size() > 2) return Usage("-UNPACK ARCHIVE [FOLDER]");
  const auto lock = TakeSwitchLock(platform::ExecutableDir(), "-UNPACK");
  if (!lock) return 1;
  Console console(env);
  const std::string folder =
      platform::WithTrailingSeparator(args.size() == 2 ? args[1] : console.dir);
  if (!sync::DescompactarArquivo(args[0], folder, console.log)) return 1;
  std::fprintf(stderr, "Unpacked into %s\n", folder.c_str());
  return 0;
}

int CheckCommand(platform::Env& env) {
  const std::string dir = platform::ExecutableDir();
  std::printf("Verificando %s\n", dir.c_str());
  std::fflush(stdout);
  sync::SiteCheckOptions options;
  options.on_result = [](const sync::CheckResult& r) {
    // "OK     Banco de dados: ...": the status in a column of its own.
    std::printf("%-6s %s: %s\n", sync::CheckStatusText(r.status), r.item.c_str(), r.detail.c_str());
    std::fflush(stdout);
  };
  const std::vector<sync::CheckResult> results = sync::CheckSite(dir, env, options);
  int counts[3] = {0, 0, 0};
  for (const sync::CheckResult& r : results) ++counts[static_cast<int>(r.status)];
  const bool ready = sync::SiteReady(results);
  std::printf("Resultado: %d OK, %d AVISO, %d FALHA: %s\n", counts[0], counts[1], counts[2],
              ready ? "o próximo ciclo tem o que precisa"
                    : "corrija os itens com FALHA e rode -CHECK de novo");
  return ready ? 0 : 1;
}

int RunOnce(platform::Env& env) {
  sync::SrvQuilvane module(platform::ExecutableDir(), sync::MakeSiteOperations, env);
  module.ServiceCreate();
  module.log().set_echo(true);
  // Another holder of the lock makes the cycle log who and return false.
  module.set_lock_owner("-ONCE");
  try {
    return module.RunOnce() ? 0 : 1;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s: %s\n", kServiceName, e.what());
    return 1;
  }
}

}  // namespace quilvane::service
