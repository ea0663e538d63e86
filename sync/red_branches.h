#pragma once

#include <set>
#include <string>
#include <vector>

#include "platform/logger.h"
#include "sync/site_files.h"
#include "sync/status_page.h"

namespace quilvane::sync {

// The head office notices a branch that turns red (two days or more behind,
// or never applied) with one log line, and one more when it is green again;
// nothing at the ticks in between. Who is red is kept in a small file beside
// the program (kRedBranchesName), so a restart does not log every red
// branch again.

// The log lines for the branches that turned red or green since `red` (the
// keys of the branches red before), and `red` updated. A branch is its
// receipt's name without ".txt"; unreadable receipts and receipts in another
// branch's name change nothing. With `complete` (every receipt on the
// server was read), a branch whose receipt is gone is forgotten.
std::vector<std::string> RedBranchChanges(const std::vector<StatusRow>& rows, bool complete,
                                          std::set<std::string>& red);

class RedBranchWatch {
 public:
  // `dir`: the program's folder, with its trailing separator.
  RedBranchWatch(std::string dir, platform::Logger& log) : dir_(std::move(dir)), log_(log) {}

  // Logs the changes of this reading and keeps the new state. A state file
  // that is damaged is logged and started afresh; one that cannot be written
  // is logged once, and the state is kept in memory meanwhile.
  void Note(const FleetStatus& status);

 private:
  void Load();
  void Save();

  std::string dir_;
  platform::Logger& log_;
  bool loaded_ = false;
  bool dirty_ = false;  // red_ differs from the file
  bool save_failure_logged_ = false;
  std::set<std::string> red_;
};

}  // namespace quilvane::sync
