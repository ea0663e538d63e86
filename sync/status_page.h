#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sync/receipt.h"

namespace quilvane::sync {

// The fleet view built from the branches' receipts: which branch applied the
// head office's latest file, which is behind, since when and why. Pure
// functions of their input; reading the receipts and storing the page are
// the caller's.

// One receipt file as found on the exchange server.
struct BranchReport {
  std::string file_name;
  ParsedReceipt parsed;  // a receipt, or why it could not be read
};

BranchReport ReadBranchReport(std::string file_name, std::string_view bytes);

enum class Light {
  kRed,    // two days or more behind, never applied, or unreadable
  kAmber,  // one day behind, or its last attempt failed
  kGreen,  // applied the head office's latest file
};

struct StatusRow {
  const BranchReport* report = nullptr;
  Light light = Light::kRed;
  // Days between the branch's recorded day and the head office's latest;
  // none when the branch never recorded one or either day is unknown.
  std::optional<std::int64_t> days_behind;
  // The receipt's CGC is not the one its file name was made from: shown
  // apart, never as the branch it claims to be.
  bool foreign = false;
};

struct FleetStatus {
  std::vector<BranchReport> reports;
  std::optional<Day> published_day;  // the day of the head office's latest file
  LocalMoment now;                   // when the page is made, at the head office
  size_t unread_receipts = 0;        // receipts on the server past the reading limit
};

// Whether the receipt's CGC has other digits than its file name: a branch
// names its receipt after its own CGC, so this one speaks for someone else.
// A receipt without a CGC must carry the "sem-cgc" name.
bool ClaimsOtherBranch(const BranchReport& report);

// The head office's products without a code, as counted by the branches
// that applied its newest file: one fact of the head office's data, shown
// once instead of in every branch's row. None when no branch counted any.
struct NoCodeCount {
  Day file_day;
  std::int64_t count = 0;
};
std::optional<NoCodeCount> HeadOfficeNoCode(const std::vector<StatusRow>& rows);

// The colour of one branch and how far behind it is.
StatusRow RankBranch(const BranchReport& report, const std::optional<Day>& published_day);

// Every report ranked, worst first: red, amber, green; within a colour the
// unreadable, then the never applied, then the most days behind, then the
// failed; then by branch name.
std::vector<StatusRow> RankBranches(const FleetStatus& status);

// "37 de 40 filiais em dia".
std::string SummaryLine(const std::vector<StatusRow>& rows);

// The table printed by the status command: one line per branch (branch,
// its name, days behind, last outcome, last receipt, statements, products
// not found, version), the first failure line and a stale file beneath a
// branch. UTF-8, LF line ends, no terminal control sequences.
std::string StatusTable(const FleetStatus& status);

// "status.html": one self-contained UTF-8 page (inline CSS, no script, no
// request to anywhere) that reads on a phone. Everything taken from a
// receipt is escaped and cut to a fixed length, so a page for 1,000 branches
// stays within a few hundred KB. More than kFoldGreenRows green rows are
// folded under one line.
inline constexpr size_t kFoldGreenRows = 50;
std::string StatusHtml(const FleetStatus& status);

}  // namespace quilvane::sync
