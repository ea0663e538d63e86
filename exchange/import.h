#pragma once

#include <functional>
#include <string>
#include <vector>

#include "db/database.h"
#include "db/query.h"
#include "db/transaction.h"
#include "exchange/update_runner.h"
#include "platform/datetime.h"
#include "platform/env.h"
#include "platform/error.h"

namespace quilvane::exchange {

// A statement line of the exchange file that is not of the exact shape the
// export writes: the file is refused whole, before anything is executed.
class ForbiddenLineError : public platform::Error {
 public:
  explicit ForbiddenLineError(int line);
  int line() const { return line_; }

 private:
  int line_;
};

// Changes a dry run keeps for its report.
inline constexpr std::size_t kDryRunChangesKept = 20;

struct ImportOptions {
  // Everything the import would do, in one transaction rolled back at the
  // end; a statement the database refuses ends it, reported in the result.
  bool dry_run = false;
  // Called once every line passed the check and before the first statement
  // runs (not when the file is not newer): an exception it throws ends the
  // import with nothing executed. The signature check waits here for its
  // hash, which ran alongside the line check.
  std::function<void()> before_first_statement;
  // Called with the file's day as soon as its first line is read, before it
  // is compared with the last synchronisation: returning false makes the
  // file "nothing new" (nothing checked or executed); an exception ends the
  // import with nothing executed. Signed files are refused here when they
  // are older than what was applied, or dated in the future.
  std::function<bool(platform::DateTime file_day)> check_day;
  // An operator's -FORCE: a signed file older than the newest one applied
  // may be applied (the caller's check_day lets it through and logs it).
  bool forced = false;
  // A statement whose row already holds its values is not executed.
  bool only_changed = false;
  // With only_changed, applying (not a dry run): called with the file's day
  // and the column changes of the batches committed, once the file is
  // applied (also when nothing changed), and when the import fails after
  // batches were committed (a failing statement's batch is committed first,
  // as the disconnection would). Changes of work not committed are never
  // given. Must not throw.
  std::function<void(platform::DateTime day, const ChangeRange& committed)> on_committed_changes;

  static ImportOptions DryRun() {
    ImportOptions options;
    options.dry_run = true;
    return options;
  }
};

struct ImportResult {
  bool applied = false;  // the file was newer and its statements ran
  int statements = 0;    // statements executed
  // The file's day (line 1), set when applied: the day the site is now
  // synchronised to, for the caller to record.
  platform::DateTime day = 0;
  UnmatchedCodes unmatched;  // statements whose UPDATE matched no row
  int no_code = 0;           // statements whose code is NULL or blank
  // The file's day (line 1) whenever it was read, also when the file was
  // not newer; 0 when the import did not get that far.
  platform::DateTime read_day = 0;
  int changed = 0;        // statements that updated their row
  int unchanged = 0;      // only_changed: rows that already held the values
  bool compared = false;  // ran with only_changed
  // only_changed: the columns changed, and for a dry run the first
  // kDryRunChangesKept of them.
  int change_count = 0;
  std::vector<Change> first_changes;
  // Dry run: the first statement the database refused (line 0: none), with
  // its text (UTF-8) and the database's message.
  int refused_line = 0;
  std::string refused_statement;
  std::string refused_error;
};

// Applies the exchange file `arquivo_script` to a connected database when
// its day (line 1, read day-month-year) is later than the day of
// `data_ultima_sincronizacao`: checks every statement line first, then
// executes them on `exec` in `transaction` (the explicit write transaction
// `exec` runs in) on `db`, committing after every 250 and after the last
// (see UpdateRunner). `env` gives the current year for a date line without
// one. Records nothing.
//
// Throws platform::Error: "File not found"; "'<line>' is not a valid date";
// ForbiddenLineError (nothing executed); what `before_first_statement`
// throws (nothing executed); the database's error for a statement
// or commit that fails (the earlier statements of the open batch stay in the
// active `transaction`, which the disconnection commits).
ImportResult ImportPrices(db::Database& db, db::Query& exec, db::Transaction& transaction,
                          const std::string& arquivo_script,
                          platform::DateTime data_ultima_sincronizacao, platform::Env& env,
                          const ImportOptions& options = {});

}  // namespace quilvane::exchange
