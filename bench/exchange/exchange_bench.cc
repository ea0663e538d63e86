// Export and import of the price exchange on the test Firebird server.
//
//   exchange_bench export <database> <file> [popular]
//   exchange_bench import <database> <file>       ImportPrices (prepared blocks)
//   exchange_bench changed <database> <file>      ImportPrices with SomenteAlterados,
//       the changes list written into <file>.d/Alteracoes
//   exchange_bench textblocks <database> <file>   the earlier import path: the
//       same validated lines as literal text, up to 50 in one EXECUTE BLOCK,
//       a commit every 250
//
// Connects as SYSDBA to $QUILVANE_FB_HOST:$QUILVANE_FB_PORT (the endpoint
// that scripts/servers prints), runs the step once and prints its wall time,
// its rate and the process's peak resident memory. run.sh sets up the
// databases and the isql-fb anchors.

#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <vector>

#include "exchange/exchange_file.h"
#include "exchange/export.h"
#include "exchange/format.h"
#include "exchange/import.h"
#include "platform/codepage.h"
#include "platform/datetime.h"
#include "platform/env.h"
#include "platform/logger.h"
#include "sync/site_database.h"

namespace {

long PeakRssKib() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return u.ru_maxrss;
}

std::string EnvVar(const char* name) {
  const char* v = std::getenv(name);
  if (!v || !*v) {
    std::fprintf(stderr, "%s is not set: eval \"$(scripts/servers start)\"\n", name);
    std::exit(2);
  }
  return v;
}

long TextBlocks(quilvane::sync::SiteDatabase& c, const std::string& file) {
  using namespace quilvane;
  exchange::ExchangeFileReader reader(file);
  std::string line;
  reader.ReadLine(line, exchange::kMaxDateLineLength);
  std::vector<std::string> pending;
  long in_batch = 0, total = 0;
  const auto flush = [&] {
    if (pending.empty()) return;
    if (!c.TRQExec.InTransaction()) c.TRQExec.StartTransaction();
    std::string block = "EXECUTE BLOCK AS BEGIN\n";
    for (const std::string& s : pending) block += s + ";\n";
    block += "END";
    c.QExec.ExecSQL(std::move(block));
    in_batch += static_cast<long>(pending.size());
    total += static_cast<long>(pending.size());
    pending.clear();
    if (in_batch >= exchange::kBatchSize) {
      c.TRQExec.Commit();
      in_batch = 0;
    }
  };
  while (reader.ReadLine(line, exchange::kMaxLineLength) ==
         exchange::ExchangeFileReader::Status::kLine) {
    pending.push_back(platform::AnsiToUtf8(line));
    if (pending.size() == 50 || in_batch + static_cast<long>(pending.size()) == 250) flush();
  }
  flush();
  if (c.TRQExec.InTransaction()) c.TRQExec.Commit();
  return total;
}

}  // namespace

// What the import logs (a list that could not be written), on stderr.
class StderrLog final : public quilvane::platform::Logger {
 public:
  void DoSaveLog(std::string_view message) override {
    std::fprintf(stderr, "%.*s\n", static_cast<int>(message.size()), message.data());
  }
};

int main(int argc, char** argv) {
  using namespace quilvane;
  if (argc < 4) {
    std::fprintf(stderr, "usage: %s export|import|changed|textblocks <database> <file> [popular]\n",
                 argv[0]);
    return 2;
  }
  const std::string mode = argv[1];
  StderrLog stderr_log;
  sync::SiteDatabase c{platform::Env::Default()};
  c.Connvelstrand.SetParam("Server", EnvVar("QUILVANE_FB_HOST"));
  c.Connvelstrand.SetParam("Port", EnvVar("QUILVANE_FB_PORT"));
  c.Connvelstrand.SetParam("Database", argv[2]);
  c.Connvelstrand.SetParam("User_Name", "SYSDBA");
  c.Connvelstrand.SetParam("Password", EnvVar("QUILVANE_FB_SYSDBA_PASSWORD"));
  try {
    c.Connvelstrand.Connect();
    const long rss_before = PeakRssKib();
    const auto t0 = std::chrono::steady_clock::now();
    long rows = 0;
    if (mode == "export") {
      const bool popular = argc > 4 && std::strcmp(argv[4], "popular") == 0;
      exchange::ExportPrices(c.TBProdutos, argv[3], popular, platform::Env::Default());
      rows = static_cast<long>(c.TBProdutos.RecordCount());
      c.TBProdutos.Close();
    } else if (mode == "import") {
      const std::string settings = std::string(argv[3]) + ".ini";
      const auto r = sync::ImportPrices(c, argv[3], 0, settings, platform::Env::Default());
      std::remove(settings.c_str());
      rows = r.statements;
      std::printf("import: %d statement(s) matched no row\n", r.unmatched.count);
    } else if (mode == "changed") {
      // SomenteAlterados as a branch runs it, the changes list written
      // beside the file.
      const std::string settings = std::string(argv[3]) + ".ini";
      const std::string dir = std::string(argv[3]) + ".d/";
      exchange::ImportOptions options;
      options.only_changed = true;
      options.on_committed_changes = [&](platform::DateTime day,
                                         std::span<const exchange::Change> changes) {
        sync::SaveChangesList(dir, day, changes, stderr_log, platform::Env::Default());
      };
      const auto r = sync::ImportPrices(c, argv[3], 0, settings, platform::Env::Default(), options);
      std::remove(settings.c_str());
      rows = r.statements;
      std::printf("changed: %d changed, %d unchanged, %d not found; %d column change(s)\n",
                  r.changed, r.unchanged, r.unmatched.count, r.change_count);
    } else if (mode == "textblocks") {
      rows = TextBlocks(c, argv[3]);
    } else {
      std::fprintf(stderr, "unknown mode %s\n", mode.c_str());
      return 2;
    }
    const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    c.Connvelstrand.Disconnect();
    const long rss_after = PeakRssKib();
    std::printf(
        "%s: %ld rows in %.3f s = %.0f rows/s; peak RSS %ld KiB (%ld KiB at start, "
        "%.0f bytes per row above it)\n",
        mode.c_str(), rows, s, rows / s, rss_after, rss_before,
        rows ? (rss_after - rss_before) * 1024.0 / rows : 0.0);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s failed: %s\n", mode.c_str(), e.what());
    return 1;
  }
  return 0;
}
