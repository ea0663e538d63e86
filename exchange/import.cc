#include "exchange/import.h"

#include <optional>

#include "db/database.h"
#include "db/error.h"
#include "exchange/exchange_file.h"
#include "exchange/format.h"
#include "exchange/statement.h"
#include "exchange/update_runner.h"
#include "platform/codepage.h"
#include "platform/regional.h"

namespace quilvane::exchange {
namespace {

std::string ShownLine(const std::string& line, bool cut) {
  return platform::AnsiToUtf8(line) + (cut ? "..." : "");
}

// Reads line 1; throws when it is not a valid date.
platform::DateTime ReadDateLine(ExchangeFileReader& script, int current_year) {
  std::string line;
  const auto status = script.ReadLine(line, kMaxDateLineLength);
  std::optional<platform::DateTime> date;
  if (status == ExchangeFileReader::Status::kLine) date = ParseExchangeDate(line, current_year);
  if (!date) {
    throw platform::Error("'" + ShownLine(line, status == ExchangeFileReader::Status::kTooLong) +
                          "' is not a valid date");
  }
  return *date;
}

// Whether the next line is a statement of the exported shape; false at the
// end of the file. Throws ForbiddenLineError for any other line.
bool ReadStatement(ExchangeFileReader& script, std::string& line) {
  const auto status = script.ReadLine(line, kMaxLineLength);
  if (status == ExchangeFileReader::Status::kEnd) return false;
  if (status == ExchangeFileReader::Status::kTooLong || !IsExportedStatement(line)) {
    throw ForbiddenLineError(script.line_number());
  }
  return true;
}

// Rolls the dry run's transaction back on every way out by an exception: the
// disconnection would otherwise commit what it executed.
class RollbackOnExit {
 public:
  explicit RollbackOnExit(db::Transaction& transaction) : transaction_(transaction) {}
  RollbackOnExit(const RollbackOnExit&) = delete;
  RollbackOnExit& operator=(const RollbackOnExit&) = delete;
  ~RollbackOnExit() {
    try {
      if (transaction_.InTransaction()) transaction_.Rollback();
    } catch (...) {
      // A connection lost on the way out takes its transaction with it.
    }
  }

 private:
  db::Transaction& transaction_;
};

// The import failed part way: the open batch is committed now, as the
// disconnection would commit it, so that its changes are listed with those
// of the batches before; with the connection gone it is lost, and unlisted.
void ListCommittedAfterFailure(db::Database& db, UpdateRunner& runner, platform::DateTime day,
                               const ImportOptions& options) {
  try {
    if (db.Connected()) runner.CommitRanBeforeRefusal();
  } catch (const std::exception&) {
    // Not committed: its changes stay out of the list.
  }
  if (!runner.committed_changes().empty()) {
    options.on_committed_changes(day, runner.committed_changes());
  }
}

}  // namespace

ForbiddenLineError::ForbiddenLineError(int line)
    : platform::Error("Comando não permitido na linha " + std::to_string(line) +
                      " do arquivo de sincronização"),
      line_(line) {}

ImportResult ImportPrices(db::Database& db, db::Query& exec, db::Transaction& transaction,
                          const std::string& arquivo_script,
                          platform::DateTime data_ultima_sincronizacao, platform::Env& env,
                          const ImportOptions& options) {
  const int current_year = platform::DecodeDate(env.Now()).year;

  UpdateRunner::Options runner_options{.commit_batches = !options.dry_run,
                                       .only_changed = options.only_changed};
  if (options.dry_run) runner_options.changes_kept = kDryRunChangesKept;
  std::optional<UpdateRunner> runner;
  platform::DateTime data_script;
  std::string comando;
  {
    ExchangeFileReader script(arquivo_script);
    data_script = ReadDateLine(script, current_year);
    ImportResult not_newer;
    not_newer.read_day = data_script;
    if (options.check_day && !options.check_day(data_script)) return not_newer;
    if (platform::DayOf(data_script) <= platform::DayOf(data_ultima_sincronizacao)) {
      return not_newer;
    }
    // The table's read, on an attachment of its own, overlaps the check.
    runner.emplace(db, transaction, exec, runner_options);
    runner->StartScan();
    // The whole file is checked before its first statement runs.
    while (ReadStatement(script, comando)) {
    }
  }
  if (options.before_first_statement) options.before_first_statement();

  ExchangeFileReader script(arquivo_script);
  ReadDateLine(script, current_year);
  const bool list_changes =
      options.only_changed && !options.dry_run && options.on_committed_changes;
  ImportResult result;
  result.applied = true;
  result.day = data_script;
  result.read_day = data_script;
  if (options.dry_run) {
    const RollbackOnExit rollback(transaction);
    try {
      while (ReadStatement(script, comando)) runner->Add(comando, script.line_number());
      runner->Finish();
    } catch (const db::DbError& e) {
      if (e.lost_connection() || runner->refused_line() == 0) throw;
      result.refused_line = runner->refused_line();
      result.refused_statement = platform::AnsiToUtf8(runner->refused_statement());
      result.refused_error = e.what();
    }
    if (transaction.InTransaction()) transaction.Rollback();
    for (Change c : runner->changes()) result.first_changes.push_back(std::move(c));
  } else {
    try {
      // Checked again as executed: the file could have changed in between.
      while (ReadStatement(script, comando)) runner->Add(comando, script.line_number());
      runner->Finish();
    } catch (...) {
      if (list_changes) ListCommittedAfterFailure(db, *runner, data_script, options);
      throw;
    }
    if (list_changes) options.on_committed_changes(data_script, runner->committed_changes());
  }
  result.statements = runner->executed();
  result.unmatched = runner->unmatched();
  result.no_code = runner->no_code();
  result.changed = runner->changed();
  result.unchanged = runner->unchanged();
  result.compared = options.only_changed;
  result.change_count = runner->change_count();
  return result;
}

}  // namespace quilvane::exchange
