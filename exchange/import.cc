#include "exchange/import.h"

#include <vector>

#include "db/database.h"
#include "db/error.h"
#include "exchange/exchange_file.h"
#include "exchange/format.h"
#include "exchange/statement.h"
#include "platform/codepage.h"
#include "platform/regional.h"

namespace quilvane::exchange {
namespace {

// Validated statements run up to this many at a time inside one EXECUTE
// BLOCK: most of a lone UPDATE's cost is its prepare and round trip.
constexpr std::size_t kBlockStatements = 50;
static_assert(kBatchSize % kBlockStatements == 0, "a block never spans a commit");

// A statement's text travels with a 16-bit length.
constexpr std::size_t kMaxBlockBytes = 65535;
constexpr std::string_view kBlockHead = "EXECUTE BLOCK AS BEGIN\n";
constexpr std::string_view kBlockTail = "END";

std::string ShownLine(const std::string& line, bool cut) {
  return platform::AnsiToUtf8(line) + (cut ? "..." : "");
}

// Runs validated statements on `QExec` in `TRQExec` with the outcome of
// running them one by one: the same statements applied, commits after every
// kBatchSize and after the last, and for a statement the database rejects,
// that statement's own error with the batch's earlier statements applied and
// the transaction left active.
class StatementRunner {
 public:
  StatementRunner(db::Query& exec, db::Transaction& transaction)
      : exec_(exec), transaction_(transaction) {}

  // `ansi`: one validated line as stored in the file.
  void Add(const std::string& ansi) {
    if (!pending_.empty() && pending_bytes_ + ansi.size() + 2 > kMaxBlockBytes) Flush();
    pending_bytes_ += ansi.size() + 2;
    pending_.push_back(platform::AnsiToUtf8(ansi));
    if (pending_.size() == kBlockStatements ||
        contador_comando_ + static_cast<int>(pending_.size()) == kBatchSize) {
      Flush();
    }
  }

  // Runs what is pending and commits the open batch.
  void Finish() {
    Flush();
    if (contador_comando_ > 0) {
      transaction_.Commit();
      contador_comando_ = 0;
    }
  }

  int executed() const { return executed_; }

 private:
  void Flush() {
    if (pending_.empty()) return;
    if (contador_comando_ == 0 && !transaction_.InTransaction()) transaction_.StartTransaction();
    if (pending_.size() == 1 || !use_blocks_) {
      RunOneByOne();
    } else {
      RunBlock();
    }
    contador_comando_ += static_cast<int>(pending_.size());
    executed_ += static_cast<int>(pending_.size());
    pending_.clear();
    pending_bytes_ = kBlockHead.size() + kBlockTail.size();
    if (contador_comando_ >= kBatchSize) {
      transaction_.Commit();
      contador_comando_ = 0;
    }
  }

  void RunOneByOne() {
    for (const std::string& statement : pending_) exec_.ExecSQL(statement);
  }

  void RunBlock() {
    std::string block;
    block.reserve(pending_bytes_ + 64);
    block += kBlockHead;
    for (const std::string& statement : pending_) {
      block += statement;
      block += ";\n";
    }
    block += kBlockTail;
    try {
      exec_.ExecSQL(std::move(block));
      return;
    } catch (const db::DbError& e) {
      // Work of the transaction lost with the connection cannot be redone.
      if (e.lost_connection() || !transaction_.database().Connected()) throw;
    }
    // The failed block left no change: run its statements one by one, so
    // that the ones before a failing statement apply and the error is that
    // statement's own.
    RunOneByOne();
    // Every statement ran alone: the block failed for a reason of its own
    // (a server limit); the rest of the file runs one by one.
    use_blocks_ = false;
  }

  db::Query& exec_;
  db::Transaction& transaction_;
  std::vector<std::string> pending_;
  std::size_t pending_bytes_ = kBlockHead.size() + kBlockTail.size();
  bool use_blocks_ = true;
  int contador_comando_ = 0;  // statements in the open batch
  int executed_ = 0;
};

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

}  // namespace

ForbiddenLineError::ForbiddenLineError(int line)
    : platform::Error("Comando não permitido na linha " + std::to_string(line) +
                      " do arquivo de sincronização"),
      line_(line) {}

ImportResult ImportPrices(db::Query& exec, db::Transaction& transaction,
                          const std::string& arquivo_script,
                          platform::DateTime data_ultima_sincronizacao, platform::Env& env) {
  const int current_year = platform::DecodeDate(env.Now()).year;

  platform::DateTime data_script;
  std::string comando;
  {
    ExchangeFileReader script(arquivo_script);
    data_script = ReadDateLine(script, current_year);
    if (platform::DayOf(data_script) <= platform::DayOf(data_ultima_sincronizacao)) return {};
    // The whole file is checked before its first statement runs.
    while (ReadStatement(script, comando)) {
    }
  }

  ExchangeFileReader script(arquivo_script);
  ReadDateLine(script, current_year);
  StatementRunner runner(exec, transaction);
  // Checked again as executed: the file could have changed in between.
  while (ReadStatement(script, comando)) runner.Add(comando);
  runner.Finish();
  return {true, runner.executed(), data_script};
}

}  // namespace quilvane::exchange
