// One import of an exchange file on the test Firebird server, timed.
//
//   import_bench prepared <database> <file>     ImportPrices (prepared blocks)
//   import_bench textblocks <database> <file>   the earlier path: the same
//       validated lines as literal text, up to 50 in one EXECUTE BLOCK,
//       a commit every 250
//
// Connects as SYSDBA to $QUILVANE_FB_HOST:$QUILVANE_FB_PORT; prints the wall
// time, the rate and the count of statements that matched no row.

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "exchange/exchange_file.h"
#include "exchange/format.h"
#include "exchange/import.h"
#include "platform/codepage.h"
#include "platform/env.h"
#include "sync/site_database.h"

namespace {

std::string EnvVar(const char* name) {
  const char* v = std::getenv(name);
  if (!v || !*v) {
    std::fprintf(stderr, "%s is not set: eval \"$(scripts/servers start)\"\n", name);
    std::exit(2);
  }
  return v;
}

int TextBlocks(quilvane::sync::SiteDatabase& c, const std::string& file) {
  using namespace quilvane;
  exchange::ExchangeFileReader reader(file);
  std::string line;
  reader.ReadLine(line, exchange::kMaxDateLineLength);
  std::vector<std::string> pending;
  int in_batch = 0, total = 0;
  const auto flush = [&] {
    if (pending.empty()) return;
    if (!c.TRQExec.InTransaction()) c.TRQExec.StartTransaction();
    std::string block = "EXECUTE BLOCK AS BEGIN\n";
    for (const std::string& s : pending) block += s + ";\n";
    block += "END";
    c.QExec.ExecSQL(std::move(block));
    in_batch += static_cast<int>(pending.size());
    total += static_cast<int>(pending.size());
    pending.clear();
    if (in_batch >= exchange::kBatchSize) {
      c.TRQExec.Commit();
      in_batch = 0;
    }
  };
  while (reader.ReadLine(line, exchange::kMaxLineLength) ==
         exchange::ExchangeFileReader::Status::kLine) {
    pending.push_back(platform::AnsiToUtf8(line));
    if (pending.size() == 50 || in_batch + static_cast<int>(pending.size()) == 250) flush();
  }
  flush();
  if (c.TRQExec.InTransaction()) c.TRQExec.Commit();
  return total;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace quilvane;
  if (argc != 4) {
    std::fprintf(stderr, "usage: %s prepared|textblocks <database> <file>\n", argv[0]);
    return 2;
  }
  const std::string mode = argv[1];
  sync::SiteDatabase c{platform::Env::Default()};
  c.Connvelstrand.SetParam("Server", EnvVar("QUILVANE_FB_HOST"));
  c.Connvelstrand.SetParam("Port", EnvVar("QUILVANE_FB_PORT"));
  c.Connvelstrand.SetParam("Database", argv[2]);
  c.Connvelstrand.SetParam("User_Name", "SYSDBA");
  c.Connvelstrand.SetParam("Password", EnvVar("QUILVANE_FB_SYSDBA_PASSWORD"));
  try {
    c.Connvelstrand.Connect();
    const auto t0 = std::chrono::steady_clock::now();
    int statements = 0, unmatched = -1;
    if (mode == "prepared") {
      const std::string settings = std::string(argv[3]) + ".ini";
      const auto r = sync::ImportPrices(c, argv[3], 0, settings, platform::Env::Default());
      std::remove(settings.c_str());
      statements = r.statements;
      unmatched = r.unmatched.count;
    } else if (mode == "textblocks") {
      statements = TextBlocks(c, argv[3]);
    } else {
      std::fprintf(stderr, "unknown mode %s\n", mode.c_str());
      return 2;
    }
    const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    c.Connvelstrand.Disconnect();
    std::printf("%s: %d statements in %.3f s = %.0f statements/s", mode.c_str(), statements, s,
                statements / s);
    if (unmatched >= 0) std::printf("; %d matched no row", unmatched);
    std::printf("\n");
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s failed: %s\n", mode.c_str(), e.what());
    return 1;
  }
  return 0;
}
