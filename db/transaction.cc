#include "db/transaction.h"

#include "db/database.h"
#include "db/error.h"
#include "db/handles.h"

namespace quilvane::db {

Transaction::Transaction(Database& db, Access access, Mode mode)
    : db_(db),
      access_(access),
      mode_(mode),
      state_(std::make_unique<State>()),
      tpb_(BuildTpb(access)) {
  db_.Register(this);
}

Transaction::~Transaction() {
  if (InTransaction() && db_.Connected()) {
    // The disconnect action, for a transaction that goes away first.
    ISC_STATUS_ARRAY status = {};
    CommitQuietly(status);
  }
  db_.Unregister(this);
}

std::string Transaction::BuildTpb(Access access) {
  std::string tpb;
  tpb += static_cast<char>(isc_tpb_version3);
  tpb += static_cast<char>(access == Access::kReadOnly ? isc_tpb_read : isc_tpb_write);
  tpb += static_cast<char>(isc_tpb_read_committed);
  tpb += static_cast<char>(isc_tpb_rec_version);
  tpb += static_cast<char>(isc_tpb_nowait);
  return tpb;
}

bool Transaction::InTransaction() const { return state_->handle != 0; }

void Transaction::StartRaw() {
  if (!db_.Connected()) throw DbError("Cannot start a transaction: the database is not connected");
  struct {
    isc_db_handle* db;
    long tpb_length;
    const char* tpb;
  } teb = {&db_.state_->handle, static_cast<long>(tpb_.size()), tpb_.data()};
  ISC_STATUS_ARRAY status = {};
  isc_tr_handle handle = 0;
  FbClient& fb = db_.client();
  fb.start_multiple(status, &handle, 1, &teb);
  if (HasError(status)) throw fb.ErrorFromStatus(status);
  state_->handle = handle;
  uncommitted_ = 0;
}

void Transaction::StartTransaction() {
  if (InTransaction()) throw DbError("The transaction is already active");
  db_.RunStep([this] { StartRaw(); });
}

void Transaction::EnsureStarted() {
  if (InTransaction()) return;
  if (mode_ == Mode::kExplicit) throw DbError("The transaction is not active");
  StartRaw();
}

void Transaction::CloseCursors() {
  for (Query* q : db_.queries_) {
    if (&q->transaction_ == this && q->HoldsOpenCursor()) {
      q->MarkCursorLost("The transaction ended before every row was read");
      ISC_STATUS_ARRAY ignored = {};
      db_.client().dsql_free_statement(ignored, &q->state_->stmt, DSQL_close);
    }
  }
}

void Transaction::Commit() { End(true); }

void Transaction::Rollback() { End(false); }

void Transaction::End(bool commit) {
  if (!InTransaction()) throw DbError("The transaction is not active");
  CloseCursors();
  ISC_STATUS_ARRAY status = {};
  FbClient& fb = db_.client();
  (commit ? fb.commit_transaction : fb.rollback_transaction)(status, &state_->handle);
  if (HasError(status)) {
    DbError error = fb.ErrorFromStatus(status);
    if (!error.lost_connection()) throw error;
    // The server discarded the transaction with the attachment: a commit of
    // writes that did not happen is an error. A read loses nothing, and a
    // rollback got what it asked for.
    const bool lost_work = commit && access_ == Access::kReadWrite;
    Drop();
    if (lost_work) db_.AbandonAndThrow(error);
    db_.RecoverOrThrow(error);
    return;
  }
  Drop();
}

void Transaction::AutoEnd(bool success) {
  if (mode_ != Mode::kAutomatic || !InTransaction()) return;
  for (const Query* q : db_.queries_) {
    if (&q->transaction_ == this && q->HoldsOpenCursor()) return;
  }
  if (success) {
    Commit();
  } else {
    try {
      Rollback();
    } catch (const DbError&) {
      // The failure being reported matters more than the rollback's.
      Drop();
    }
  }
}

void Transaction::CommitQuietly(std::intptr_t* status) {
  FbClient& fb = db_.client();
  fb.commit_transaction(status, &state_->handle);
  if (HasError(status)) {
    // Release the server's transaction so the attachment can go.
    ISC_STATUS_ARRAY ignored = {};
    fb.rollback_transaction(ignored, &state_->handle);
  }
  Drop();
}

void Transaction::Drop() {
  state_->handle = 0;
  uncommitted_ = 0;
}

}  // namespace quilvane::db
