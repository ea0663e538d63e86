#pragma once

#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "db/database.h"
#include "db/query.h"
#include "db/transaction.h"
#include "exchange/statement.h"

namespace quilvane::exchange {

// Statements whose UPDATE matched no row: products the head office prices
// that this database does not have.
struct UnmatchedCodes {
  static constexpr std::size_t kKept = 50;  // codes kept, in file order
  int count = 0;
  std::vector<std::string> codes;  // UTF-8, the first kKept
};

// Runs validated statement lines on `qexec` in the explicit transaction
// `trans` with the outcome of running them one by one as written: the same
// rows changed to the same values, a commit after every kBatchSize statements
// and after the last, and for a statement the database rejects, that
// statement's own error with the batch's earlier statements applied and the
// transaction left active.
//
// Runs of statements go through one EXECUTE BLOCK prepared once per shape,
// whose parameters are declared with the types of the PRODUTOS columns they
// set: each literal reaches its column through the same conversion as when
// written in the text. A literal that would not (a number into a text column,
// a number with more than four decimals) makes its statement run as text; a
// block the server rejects is run again statement by statement as text.
class UpdateRunner {
 public:
  struct Options {
    // false: one transaction for the whole file, never committed here (a dry
    // run rolls it back).
    bool commit_batches = true;
    // true: a statement whose row already holds every value it assigns is
    // not executed (no record version, no trigger fired); the server
    // compares, on the values converted to the column types.
    bool only_changed = false;
  };

  UpdateRunner(db::Database& db, db::Transaction& trans, db::Query& qexec, Options options);
  ~UpdateRunner();
  UpdateRunner(const UpdateRunner&) = delete;
  UpdateRunner& operator=(const UpdateRunner&) = delete;

  // `ansi`: one validated line as stored in the file, `line` its number.
  void Add(const std::string& ansi, int line = 0);
  // Runs what is pending and commits the open batch.
  void Finish();

  int executed() const { return executed_; }
  // Of those, the statements that ran through a prepared block.
  int prepared() const { return prepared_; }
  // After the database refused a statement: its line number and text (as
  // stored); 0 and empty before.
  int refused_line() const { return refused_line_; }
  const std::string& refused_statement() const { return refused_statement_; }
  const UnmatchedCodes& unmatched() const { return unmatched_; }
  // Statements that updated a row, and (only_changed) those skipped because
  // their row already held every value.
  int changed() const { return changed_; }
  int unchanged() const { return unchanged_; }
  // Statements whose code is NULL or blank: products the head office has
  // without a code. They still run (as ever) but are never counted among the
  // unmatched: no branch lacks them, the head office's data does.
  int no_code() const { return no_code_; }

 private:
  struct Pending;
  struct BlockKey {
    bool popular;
    std::size_t statements;
    auto operator<=>(const BlockKey&) const = default;
  };
  enum class ColumnKind { kExactNumber, kFloat, kText, kOther };

  void Flush();
  void RunAsText(const Pending& p);
  // Runs pending_[first, last) through one prepared block; false when the
  // server rejected the block (nothing of it applied).
  bool RunBlock(std::size_t first, std::size_t last);
  bool Preparable(const StatementLiterals& literals);
  void LoadColumnKinds();
  void NoteUnmatched(const Literal& code);
  std::string BlockText(bool popular, std::size_t statements) const;

  db::Database& db_;
  db::Transaction& trans_;
  db::Query& qexec_;
  Options options_;
  std::vector<Pending> pending_;
  std::map<BlockKey, std::unique_ptr<db::Query>> blocks_;
  std::map<std::string, ColumnKind, std::less<>> column_kinds_;
  bool column_kinds_loaded_ = false;
  bool use_blocks_ = true;
  int contador_comando_ = 0;  // statements in the open batch
  int executed_ = 0;
  int prepared_ = 0;
  int changed_ = 0;
  int unchanged_ = 0;
  int no_code_ = 0;
  int refused_line_ = 0;
  std::string refused_statement_;
  UnmatchedCodes unmatched_;
};

}  // namespace quilvane::exchange
