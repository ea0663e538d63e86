#pragma once

#include <array>
#include <future>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <stop_token>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "db/database.h"
#include "db/query.h"
#include "db/transaction.h"
#include "exchange/change_store.h"
#include "exchange/product_scan.h"
#include "exchange/statement.h"
#include "exchange/stored_compare.h"

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
// and after the last (with only_changed, kBatchSize statements sent to the
// server: one settled by the read runs nothing), and for a statement the database rejects, that
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
    // not executed (no record version, no trigger fired). Equality is the
    // server's, on the values converted to the column types: the rows of a
    // run are read at once and compared here where the conversion is certain
    // (see ConvertLiteral); the server compares the rest, statement by
    // statement, just before each update.
    bool only_changed = false;
    // With only_changed: the changes kept for changes(), in file order (the
    // rest are only counted).
    std::size_t changes_kept = static_cast<std::size_t>(-1);
    // With only_changed, where it is sound (no trigger on PRODUTOS, codes
    // compared byte for byte), the whole table is read once, on an
    // attachment of its own, instead of the rows of each run by code; the
    // first run waits for it.
    bool scan_products = true;
  };

  UpdateRunner(db::Database& db, db::Transaction& trans, db::Query& qexec, Options options);
  ~UpdateRunner();
  UpdateRunner(const UpdateRunner&) = delete;
  UpdateRunner& operator=(const UpdateRunner&) = delete;

  // With only_changed and scan_products: starts reading the table now, so
  // that the read overlaps the caller's work before the first statement
  // (the check of the whole file). Otherwise the first run starts it.
  void StartScan();
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

  // With only_changed: the column changes of the statements run so far, the
  // first changes_kept of them, and how many there were. Read inside the
  // transaction of the update, before it; they become committed_changes()
  // when their batch commits, and are dropped with a transaction lost.
  ChangeRange changes() const {
    return ChangeRange(changes_, committed_change_count_, changes_.size());
  }
  ChangeRange committed_changes() const {
    return ChangeRange(changes_, 0, committed_change_count_);
  }
  int change_count() const { return change_count_; }
  // Whether the comparison went through a scan of the whole table.
  bool scanned() const { return scan_ != nullptr; }
  // After the database refused a statement: commits what the open batch ran
  // before it, which the disconnection would commit anyway, so that its
  // changes are known to be committed. Does nothing without an open batch;
  // throws when the commit fails (the changes stay uncommitted).
  void CommitRanBeforeRefusal();

 private:
  struct Pending {
    std::string ansi;
    StatementLiterals literals;  // views into ansi
    bool popular = false;
    int line = 0;
  };
  struct ReadRow;
  struct BlockKey {
    bool popular;
    std::size_t statements;
    bool comparing;
    auto operator<=>(const BlockKey&) const = default;
  };

  void Flush();
  // Runs pending_[first, last) in order through blocks where it can, as
  // text where it must.
  void RunPending(std::size_t first, std::size_t last);
  // RunPending in pieces that each end at the batch's end or before, each
  // full batch committed: with only_changed, statements settled without the
  // server do not count towards a batch.
  void RunInBatches(std::size_t first, std::size_t last);
  void CommitFullBatch();
  // What a scan holds for `code`'s product stops being true.
  void MarkStale(const Literal& code);
  // Waits for the scan and takes it.
  void TakeScan();
  // Stops a scan that cannot serve and waits for its thread.
  void DropScan();
  // With only_changed: reads the rows of every pending statement in one
  // query, skips those that already hold their values, and runs the rest.
  // false when it could not take the run (nothing was done).
  bool RunReadAhead();
  // The stored rows of pending_'s codes, in statement order; nullopt when
  // the server could not read them (the run then goes the other way).
  std::optional<std::vector<ReadRow>> ReadPendingRows(bool popular);
  // The same from the scan of the whole table; a product a statement of the
  // import already sent to the server is left for the server to compare.
  std::vector<ReadRow> ScannedPendingRows(bool popular);
  // A statement's values converted where certain (ConvertLiteral), by part;
  // empty where only the server can tell, and for the code.
  using ConvertedValues = std::array<std::optional<db::StoredValue>, kStatementPartCount>;
  void Convert(const StatementLiterals& literals, ConvertedValues& out) const;
  // The same for each of pending_'s statements.
  std::vector<ConvertedValues> ConvertPending();
  void Commit();
  void RunAsText(const Pending& p);
  // The values of the columns `p` assigns in its product's row; nullopt when
  // there is no such row (or it cannot be read).
  std::optional<std::vector<std::string>> ReadAssigned(const Pending& p);
  void NoteChange(std::string_view ansi_code, std::size_t part, std::string before,
                  std::string after);
  // Runs pending_'s `statements` (in that order, one shape) through one
  // prepared block (`comparing`: the server compares each row first); false
  // when the server rejected the block (nothing of it applied).
  // block_outcomes_ then tells, per statement: '0' updated, '1' no such row,
  // '2' already held every value.
  bool RunBlock(std::span<const std::size_t> statements, bool comparing);
  bool Preparable(const StatementLiterals& literals);
  // The column types of PRODUTOS and, with only_changed, whether it has
  // active triggers.
  void LoadColumnKinds();
  void NoteUnmatched(const Literal& code);
  std::string BlockText(bool popular, std::size_t statements) const;
  static std::string ReadText(bool popular, std::size_t statements);
  std::string ComparingBlockText(bool popular, std::size_t statements) const;
  // Statements a block of this shape takes (its text within the server's
  // limit); needs the column kinds.
  std::size_t BlockLimit(bool popular, bool comparing);
  // The block that runs `statements` statements (at most `limit`).
  static std::size_t BlockSize(std::size_t statements, std::size_t limit);
  static std::string BlockParameters(bool popular, std::size_t statements);
  static std::string UpdateText(bool popular, std::size_t statement);
  static std::string ParamName(std::size_t statement, std::size_t part);

  db::Database& db_;
  db::Transaction& trans_;
  db::Query& qexec_;
  Options options_;
  std::vector<Pending> pending_;
  std::map<BlockKey, std::unique_ptr<db::Query>> blocks_;
  std::map<std::pair<bool, std::size_t>, std::unique_ptr<db::Query>> reads_;  // by popular, size
  std::unique_ptr<db::Query> row_reads_[2];                                   // by `popular`
  std::size_t comparing_limit_[2] = {0, 0};  // by `popular`; 0: not yet known
  std::map<std::string, ColumnType, std::less<>> column_kinds_;
  // The same by statement part (the code's too); empty for a column the
  // table lacks.
  std::array<std::optional<ColumnType>, kStatementPartCount> part_types_;
  bool column_kinds_loaded_ = false;
  // An update of PRODUTOS may then change other rows: rows read ahead may
  // be stale once a statement of the run has updated one.
  bool has_triggers_ = true;
  // CODIGO compares byte for byte (a binary collation): a scan can match
  // the file's codes itself.
  bool binary_codes_ = false;
  bool scan_tried_ = false;
  std::stop_source scan_stop_;
  std::future<std::unique_ptr<ProductScan>> scan_loading_;
  // Codes of the statements sent to the server while the scan loaded (a run
  // the read could not take): it may have read them before or after their
  // update.
  std::vector<std::string> stale_codes_;
  // Statements of a run (only_changed): longer once the scan makes a run's
  // read cost no round trip.
  std::size_t run_size_;
  platform::FormatSettings regional_;  // how the changes list writes values
  std::unique_ptr<ProductScan> scan_;
  std::string block_outcomes_;
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
  // The committed ones first; a commit moves the boundary, not the changes.
  ChangeStore changes_;
  std::size_t committed_change_count_ = 0;
  int change_count_ = 0;
};

}  // namespace quilvane::exchange
