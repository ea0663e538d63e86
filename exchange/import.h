#pragma once

#include <string>

#include "db/query.h"
#include "db/transaction.h"
#include "platform/env.h"
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

struct ImportResult {
  bool applied = false;  // the file was newer and its statements ran
  int statements = 0;    // statements executed
  // The file's day (line 1), set when applied: the day the site is now
  // synchronised to, for the caller to record.
  platform::DateTime day = 0;
};

// Applies the exchange file `arquivo_script` to a connected database when
// its day (line 1, read day-month-year) is later than the day of
// `data_ultima_sincronizacao`: checks every statement line first, then
// executes them on `exec` in `transaction` (the explicit write transaction
// `exec` runs in), committing after every 250 and after the last. `env`
// gives the current year for a date line without one. Records nothing.
//
// Throws platform::Error: "File not found"; "'<line>' is not a valid date";
// ForbiddenLineError (nothing executed); the database's error for a statement
// or commit that fails (the earlier statements of the open batch stay in the
// active `transaction`, which the disconnection commits).
ImportResult ImportPrices(db::Query& exec, db::Transaction& transaction,
                          const std::string& arquivo_script,
                          platform::DateTime data_ultima_sincronizacao, platform::Env& env);

}  // namespace quilvane::exchange
