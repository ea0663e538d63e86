#pragma once

#include <string>

#include "db/components.h"
#include "exchange/update_runner.h"
#include "platform/datetime.h"
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

struct ImportOptions {
  // Everything the import would do, in one transaction rolled back at the
  // end; a statement the database refuses ends it, reported in the result.
  // Nothing is recorded.
  bool dry_run = false;
};

struct ImportResult {
  bool applied = false;     // the file was newer and its statements ran
  int statements = 0;       // statements executed
  UnmatchedCodes unmatched;  // statements whose UPDATE matched no row
  // Dry run: the first statement the database refused (line 0: none), with
  // its text (UTF-8) and the database's message.
  int refused_line = 0;
  std::string refused_statement;
  std::string refused_error;
};

// Applies the exchange file `arquivo_script` to the connected database of
// `c` when its day (line 1, read day-month-year) is later than the day of
// `data_ultima_sincronizacao`: checks every statement line first, then
// executes them on `QExec` in `TRQExec`, committing after every 250 and after
// the last, and records in the settings file `settings_path` the earlier of
// the file's day and today as `DataUltimaSincronizacao`.
//
// Throws platform::Error: "File not found"; "'<line>' is not a valid date";
// ForbiddenLineError (nothing executed); the database's error for a statement
// or commit that fails (the earlier statements of the open batch stay in the
// active `TRQExec`, which the disconnection commits); "Unable to write to
// <path>".
ImportResult ImportPrices(db::Components& c, const std::string& arquivo_script,
                          platform::DateTime data_ultima_sincronizacao,
                          const std::string& settings_path, const ImportOptions& options = {});

}  // namespace quilvane::exchange
