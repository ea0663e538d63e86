// Reads every row of a 100,000-product PRODUTOS through TBProdutos (open,
// read all, every column by the export's conversion) and, in the same run,
// has isql-fb select the same columns into a file. Needs the test server:
//   eval "$(scripts/servers start)"; build/bench/db/db_bench [rows] [runs]

#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "sync/site_database.h"
#include "tests/support/firebird_db.h"

namespace {

using Clock = std::chrono::steady_clock;
using quilvane::testing::FirebirdDb;
using quilvane::testing::FirebirdServer;
namespace db = quilvane::db;
namespace sync = quilvane::sync;

double Since(Clock::time_point t) {
  return std::chrono::duration<double>(Clock::now() - t).count();
}

long PeakRssKb() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return u.ru_maxrss;
}

// One export-like pass; returns rows read.
long ReadProdutos(sync::SiteDatabase& c) {
  static const char* kText[] = {"CODIGO", "TIPOPROMOCAO", "PROMSOMENTEFEBRAFAR"};
  static const char* kDates[] = {"INICIOPROM", "FINALPROM"};
  db::Query& q = c.TBProdutos;
  q.Open();
  q.FetchAll();
  q.First();
  std::vector<db::Field> text, dates, money;
  for (const char* n : kText) text.push_back(q.FieldByName(n));
  for (const char* n : kDates) dates.push_back(q.FieldByName(n));
  for (int i = 0; i < q.FieldCount(); ++i) {
    const std::string& n = q.Fields(i).name();
    if (std::find_if(std::begin(kText), std::end(kText), [&](const char* t) { return n == t; }) ==
            std::end(kText) &&
        std::find_if(std::begin(kDates), std::end(kDates), [&](const char* t) { return n == t; }) ==
            std::end(kDates)) {
      money.push_back(q.Fields(i));
    }
  }
  long rows = 0;
  std::size_t sink = 0;
  for (; !q.Eof(); q.Next(), ++rows) {
    for (const db::Field& f : text) sink += f.AsString().size();
    for (const db::Field& f : dates) sink += static_cast<std::size_t>(f.AsDateTime());
    for (const db::Field& f : money) sink += static_cast<std::size_t>(f.AsCurrency());
  }
  q.Close();
  if (sink == 42) std::puts("");  // keep the reads
  return rows;
}

}  // namespace

int main(int argc, char** argv) {
  const int rows = argc > 1 ? std::atoi(argv[1]) : 100000;
  const int runs = argc > 2 ? std::atoi(argv[2]) : 3;
  std::string missing;
  auto server = FirebirdServer::FromEnv(&missing);
  if (!server) {
    std::fprintf(stderr, "db_bench: missing%s; run: eval \"$(scripts/servers start)\"\n",
                 missing.c_str());
    return 2;
  }
  FirebirdDb database(*server);
  auto t = Clock::now();
  database.FillProdutos(rows);
  std::printf("fill: %d rows in %.2f s\n", rows, Since(t));

  sync::SiteDatabase c{quilvane::platform::Env::Default()};
  c.Connvelstrand.SetParam("Port", server->port);
  c.Connvelstrand.SetParam("User_Name", "USUARIO");
  c.Connvelstrand.SetParam("Server", server->host);
  c.Connvelstrand.SetParam("Database", database.path());
  c.Connvelstrand.SetParam("Password", "mirvex");
  c.Connvelstrand.Connect();

  // The same 25 columns, for isql-fb writing them to a file.
  const std::string select = sync::SqlProdutos() + ";\n";
  const std::string script = "/tmp/quilvane-db-bench.sql";
  const std::string out = "/tmp/quilvane-db-bench.out";
  {
    std::ofstream s(script, std::ios::trunc);
    s << "SET NAMES ISO8859_1;\nCONNECT '" << database.AttachString()
      << "' USER 'USUARIO' PASSWORD 'mirvex';\nOUTPUT " << out << ";\n"
      << select << "OUTPUT;\n";
  }
  const std::string command = "isql-fb -q -i " + script + " >/dev/null 2>&1";

  std::vector<double> ours, isql;
  for (int r = 0; r < runs; ++r) {
    t = Clock::now();
    const long n = ReadProdutos(c);
    ours.push_back(n / Since(t));
    if (n != rows) {
      std::fprintf(stderr, "db_bench: read %ld rows, expected %d\n", n, rows);
      return 1;
    }
    t = Clock::now();
    if (std::system(command.c_str()) != 0) {
      std::fprintf(stderr, "db_bench: isql-fb failed\n");
      return 1;
    }
    isql.push_back(rows / Since(t));
  }
  std::remove(script.c_str());
  std::remove(out.c_str());
  c.Connvelstrand.Disconnect();
  std::sort(ours.begin(), ours.end());
  std::sort(isql.begin(), isql.end());
  std::printf(
      "TBProdutos open+read all+convert 25 columns: median %.0f rows/s (min %.0f, max %.0f)\n",
      ours[ours.size() / 2], ours.front(), ours.back());
  std::printf(
      "isql-fb same columns into a file:            median %.0f rows/s (min %.0f, max %.0f)\n",
      isql[isql.size() / 2], isql.front(), isql.back());
  std::printf("peak RSS of this process: %ld KiB\n", PeakRssKb());
  return 0;
}
