#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace quilvane::db {

class Database;
class Query;

// One Firebird transaction on a connection, read committed with record
// versions and no wait. An automatic transaction starts itself before one of
// its queries is prepared and ends itself as soon as none of its queries is
// executing or holds an open result (commit after success, rollback after a
// failed prepare or execute). An explicit one starts and commits only when
// told. A transaction still active at disconnect is committed.
class Transaction {
 public:
  enum class Access { kReadOnly, kReadWrite };
  enum class Mode { kAutomatic, kExplicit };

  Transaction(Database& db, Access access, Mode mode);
  ~Transaction();
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;

  // The transaction parameter buffer: version3, read or write,
  // read_committed, rec_version, nowait (bytes 3, 8|9, 15, 17, 7).
  static std::string BuildTpb(Access access);

  // Throws DbError when not connected or when the server refuses. Starting
  // an active transaction throws.
  void StartTransaction();
  // Commits; the transaction is then inactive. A lost connection during the
  // commit is an error: the server discarded the work.
  void Commit();
  void Rollback();
  bool InTransaction() const;

  Access access() const { return access_; }
  Mode mode() const { return mode_; }
  Database& database() const { return db_; }
  // Statements executed since the start that the server would lose with the
  // attachment (writes of an explicit transaction).
  int uncommitted_statements() const { return uncommitted_; }

 private:
  friend class Database;
  friend class Query;
  struct State;

  // Starts when not active: automatic transactions before a prepare; an
  // explicit one must have been started.
  void EnsureStarted();
  // isc_start_multiple without the reconnection policy.
  void StartRaw();
  // The automatic end rule; `success` picks commit or rollback.
  void AutoEnd(bool success);
  // Commit or Rollback.
  void End(bool commit);
  // Commit at disconnect: reports into `status`, ends inactive regardless.
  void CommitQuietly(std::intptr_t* status);
  // The attachment is gone: forget the handle without ending anything.
  void Drop();
  // Closes the open cursors of this transaction's queries before it ends.
  void CloseCursors();

  Database& db_;
  Access access_;
  Mode mode_;
  std::unique_ptr<State> state_;  // the client's handle
  std::string tpb_;
  int uncommitted_ = 0;
};

}  // namespace quilvane::db
