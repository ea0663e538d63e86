// Receipts of a made-up chain for the status page's tests and benchmark.
#pragma once

#include <cstdio>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/datetime.h"
#include "sync/receipt.h"
#include "sync/status_page.h"

namespace quilvane::sync::testing_fleet {

inline constexpr Day kPublished{2023, 10, 17};
inline const LocalMoment kNow = *ParseLocalMoment("2023-10-17T19:00:00-03:00");

// Occurrences of `what` in `text`.
inline size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// A fleet of these reports, the head office's latest file of kPublished.
inline FleetStatus Fleet(std::vector<BranchReport> reports) {
  FleetStatus status;
  status.published_day = kPublished;
  status.now = kNow;
  status.reports = std::move(reports);
  return status;
}

inline Day AddDays(const Day& day, int n) {
  const platform::CivilDate d =
      platform::DecodeDate(*platform::TryEncodeDate(day.year, day.month, day.day) + n);
  return Day{d.year, d.month, d.day};
}

// A receipt of a branch that applied the file of `day`, that morning.
inline Receipt Applied(std::string cgc, const Day& day) {
  Receipt r;
  r.cgc = std::move(cgc);
  r.version = "0.1.0";
  char start[40];
  std::snprintf(start, sizeof start, "%04d-%02d-%02dT08:30:05-03:00", day.year, day.month, day.day);
  r.start = *ParseLocalMoment(start);
  r.duration_ms = 4200;
  r.outcome = Outcome::kApplied;
  r.file_day = day;
  r.recorded_day = day;
  r.statements_applied = 12408;
  return r;
}

// The report of a receipt stored under the name its branch gives it.
inline BranchReport Report(Receipt r) {
  std::string name = ReceiptFileName(r.cgc, "");
  return BranchReport{std::move(name), ParsedReceipt{std::move(r), ""}};
}

// A branch `behind` days behind the head office (none: never applied), whose
// last cycle ended with `outcome`.
inline BranchReport Branch(const std::string& cgc, std::optional<int> behind,
                           Outcome outcome = Outcome::kApplied) {
  Receipt r = Applied(cgc, kPublished);
  r.outcome = outcome;
  r.recorded_day.reset();
  if (behind) r.recorded_day = AddDays(kPublished, -*behind);
  if (outcome != Outcome::kApplied) r.statements_applied = 0;
  if (outcome == Outcome::kFailed) {
    r.file_day.reset();
    r.failure = {"17/10/2023 08:30:09 - Falha ao baixar o arquivo: Connection refused"};
  }
  return BranchReport{ReceiptFileName(cgc, ""), ParsedReceipt{std::move(r), ""}};
}

inline BranchReport Unreadable(const std::string& name) {
  return ReadBranchReport(name, "<html>garbage</html>");
}

// The receipt files of a chain of `n` branches as the server would hold
// them: most up to date, some with products the head office prices but the
// branch lacks, a few behind or failing, one unreadable in 200.
inline std::vector<std::pair<std::string, std::string>> ChainFiles(int n) {
  std::vector<std::pair<std::string, std::string>> files;
  files.reserve(static_cast<size_t>(n));
  for (int i = 0; i < n; ++i) {
    char cgc[32];
    std::snprintf(cgc, sizeof cgc, "12.%03d.%03d/%04d-%02d", i / 1000 % 1000, i % 1000, i % 10000,
                  i % 97);
    const std::string name = ReceiptFileName(cgc, "");
    if (i % 200 == 199) {
      files.emplace_back(name, "recibo=1\r\ncgc=" + std::string(cgc) + "\r\ncomandos=-5\r\n");
      continue;
    }
    int behind = 0;
    Outcome outcome = Outcome::kApplied;
    if (i % 50 == 7) behind = 1, outcome = Outcome::kNothingNew;
    if (i % 50 == 13) outcome = Outcome::kFailed;
    if (i % 50 == 21) behind = 2 + i % 5, outcome = Outcome::kFailed;
    Receipt r = Applied(cgc, AddDays(kPublished, -behind));
    r.outcome = outcome;
    if (outcome == Outcome::kFailed) {
      r.statements_applied = 0;
      r.file_day.reset();
      r.failure = {"17/10/2023 08:30:09 - Falha ao baixar o arquivo: HTTP/1.1 404 Not Found",
                   "17/10/2023 08:30:10 - Falha ao baixar o arquivo: Socket Error # 10060 "
                   "Connection timed out."};
    }
    if (i % 10 == 3) {
      r.unmatched_count = 3 + i % 6;
      for (int k = 0; k < r.unmatched_count; ++k) {
        r.unmatched_codes.push_back("789" + std::to_string(1000000000 + i * 10 + k));
      }
    }
    files.emplace_back(name, WriteReceipt(r));
  }
  return files;
}

inline FleetStatus Chain(int n) {
  FleetStatus status;
  status.published_day = kPublished;
  status.now = kNow;
  for (auto& [name, bytes] : ChainFiles(n)) status.reports.push_back(ReadBranchReport(name, bytes));
  return status;
}

}  // namespace quilvane::sync::testing_fleet
