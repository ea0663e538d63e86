// Cost of the status page for a chain of branches: parsing every receipt and
// writing the page, the part of the status command that does not wait for
// the exchange server. Usage: status_bench [branches] [rounds].
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "sync/status_page.h"
#include "tests/sync/status_fixture.h"

int main(int argc, char** argv) {
  using namespace quilvane::sync;
  const int branches = argc > 1 ? std::atoi(argv[1]) : 1000;
  const int rounds = argc > 2 ? std::atoi(argv[2]) : 20;
  const auto files = testing_fleet::ChainFiles(branches);
  size_t receipt_bytes = 0;
  for (const auto& f : files) receipt_bytes += f.second.size();

  double best_parse = 1e9, best_page = 1e9, best_table = 1e9;
  size_t page_bytes = 0, table_bytes = 0;
  for (int round = 0; round < rounds; ++round) {
    const auto t0 = std::chrono::steady_clock::now();
    FleetStatus status;
    status.published_day = testing_fleet::kPublished;
    status.now = testing_fleet::kNow;
    status.reports.reserve(files.size());
    for (const auto& [name, bytes] : files) status.reports.push_back(ReadBranchReport(name, bytes));
    const auto t1 = std::chrono::steady_clock::now();
    const std::string page = StatusHtml(status);
    const auto t2 = std::chrono::steady_clock::now();
    const std::string table = StatusTable(status);
    const auto t3 = std::chrono::steady_clock::now();
    using ms = std::chrono::duration<double, std::milli>;
    best_parse = std::min(best_parse, ms(t1 - t0).count());
    best_page = std::min(best_page, ms(t2 - t1).count());
    best_table = std::min(best_table, ms(t3 - t2).count());
    page_bytes = page.size();
    table_bytes = table.size();
  }
  std::printf(
      "%d receipts (%.0f KB): parse %.2f ms, status.html %.2f ms (%.0f KB), "
      "terminal table %.2f ms (%.0f KB); best of %d\n",
      branches, receipt_bytes / 1024.0, best_parse, best_page, page_bytes / 1024.0, best_table,
      table_bytes / 1024.0, rounds);
  return 0;
}
