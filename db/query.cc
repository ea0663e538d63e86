#include "db/query.h"

#include <algorithm>
#include <optional>

#include "db/convert.h"
#include "db/database.h"
#include "db/error.h"
#include "db/handles.h"
#include "db/param_binding.h"
#include "db/row_store.h"
#include "db/transaction.h"
#include "platform/env.h"
#include "platform/text.h"

namespace quilvane::db {

Query::Query(Database& db, Transaction& transaction)
    : db_(db),
      transaction_(transaction),
      state_(std::make_unique<State>()),
      rows_(std::make_unique<RowStore>(state_->columns)) {
  db_.Register(this);
}

Query::~Query() {
  if (state_->stmt != 0 && db_.Connected()) {
    ISC_STATUS_ARRAY ignored = {};
    ReleaseQuietly(ignored);
  }
  db_.Unregister(this);
}

void Query::SetSQL(std::string text) {
  Close();
  Release();
  sql_ = std::move(text);
}

bool Query::HoldsOpenCursor() const { return state_->cursor_open; }

std::optional<std::string_view> Query::Value(int index) const {
  if (!active_ || state_->current >= state_->row_count) return std::nullopt;
  return rows_->Value(index);
}

std::size_t Query::RecordCount() const { return active_ ? state_->row_count : 0; }

int Query::FieldCount() const { return static_cast<int>(state_->columns.size()); }

Field Query::FieldByName(std::string_view name) const {
  for (size_t i = 0; i < state_->columns.size(); ++i) {
    if (platform::EqualsIgnoreAsciiCase(state_->columns[i].name, name)) {
      return Field(this, static_cast<int>(i));
    }
  }
  throw DbError("Field '" + std::string(name) + "' not found");
}

void Query::ExecuteRaw(void* in) {
  FbClient& fb = db_.client();
  ISC_STATUS_ARRAY status = {};
  fb.dsql_execute(status, &transaction_.state_->handle, &state_->stmt, SQLDA_VERSION1,
                  static_cast<XSQLDA*>(in));
  if (HasError(status)) throw fb.ErrorFromStatus(status);
}

void Query::Run(std::span<const Param> params, bool bind, bool open_cursor) {
  State& s = *state_;
  transaction_.EnsureStarted();
  try {
    Prepare();
  } catch (const DbError& e) {
    if (!e.lost_connection()) transaction_.AutoEnd(false);
    throw;
  }
  const bool returns_rows = s.statement_type == isc_info_sql_stmt_select ||
                            s.statement_type == isc_info_sql_stmt_select_for_upd;
  if (open_cursor && !returns_rows) {
    throw DbError("The statement returns no rows: " + sql_);
  }

  // Values bound for this execution live until it returns.
  std::optional<ParamBinding> binding;
  XSQLDA* in = nullptr;
  if (bind) {
    PrepareInput();
    in = s.in.get();
    binding.emplace(*in, params);
  }
  try {
    ExecuteRaw(in);
  } catch (const DbError& e) {
    if (!e.lost_connection()) transaction_.AutoEnd(false);
    throw;
  }
  if (returns_rows) {
    s.cursor_open = true;
    s.cursor_lost = false;
  }
}

void Query::Open() { Open({}); }

void Query::Open(std::span<const Param> params) {
  if (active_) return;
  if (!db_.Connected()) throw DbError("The database is not connected");
  DiscardRows();
  State& s = *state_;
  platform::Env& env = db_.env();
  s.regional = env.Regional();
  s.current_year = platform::DecodeDate(env.Now()).year;
  const bool bind = !params.empty();
  db_.RunStep([this, params, bind] { Run(params, bind, true); });
  // A query with parameters in an explicit transaction may have written (a
  // selectable EXECUTE BLOCK): its work is lost with the connection like a
  // statement's.
  if (bind && transaction_.mode() == Transaction::Mode::kExplicit) ++transaction_.uncommitted_;
  active_ = true;
  FetchRows(kRowsetSize);
}

void Query::FetchRows(long max_rows) {
  State& s = *state_;
  FbClient& fb = db_.client();
  for (long got = 0; s.cursor_open && (max_rows < 0 || got < max_rows); ++got) {
    ISC_STATUS_ARRAY status = {};
    const ISC_STATUS rc = fb.dsql_fetch(status, &s.stmt, SQLDA_VERSION1, s.out.get());
    if (rc == 100) {
      CloseCursor();
      return;
    }
    if (HasError(status)) {
      DbError error = fb.ErrorFromStatus(status);
      // Rows lost with the connection must not look like the end of the
      // result: the caller would act on a shortened one.
      if (error.lost_connection()) db_.AbandonAndThrow(error);
      ISC_STATUS_ARRAY ignored = {};
      fb.dsql_free_statement(ignored, &s.stmt, DSQL_close);
      s.cursor_open = false;
      transaction_.AutoEnd(false);
      throw error;
    }
    rows_->Append(s.fetch_buffer.data());
    ++s.row_count;
  }
}

void Query::CloseCursor() {
  State& s = *state_;
  if (!s.cursor_open) return;
  s.cursor_open = false;
  FbClient& fb = db_.client();
  ISC_STATUS_ARRAY status = {};
  fb.dsql_free_statement(status, &s.stmt, DSQL_close);
  if (HasError(status)) {
    DbError error = fb.ErrorFromStatus(status);
    if (!error.lost_connection()) throw error;
    // The rows are in memory; only the attachment needs renewing.
    db_.RecoverOrThrow(error);
    return;
  }
  transaction_.AutoEnd(true);
}

void Query::FetchAll() {
  if (!active_) throw DbError("The query is not open");
  FetchRows(-1);
  if (state_->cursor_lost) throw DbError(state_->cursor_lost_message);
}

void Query::First() {
  state_->current = 0;
  rows_->Rewind();
}

void Query::Next() {
  if (!active_) throw DbError("The query is not open");
  State& s = *state_;
  if (s.current < s.row_count) {
    rows_->Advance();
    ++s.current;
  }
  if (s.current >= s.row_count) {
    if (s.cursor_open) {
      if (forward_only_) {
        rows_->Recycle();
        s.row_count = 0;
        s.current = 0;
      }
      FetchRows(kRowsetSize);
    } else if (s.cursor_lost) {
      throw DbError(s.cursor_lost_message);
    }
  }
}

bool Query::Eof() const { return !active_ || state_->current >= state_->row_count; }

void Query::Close() {
  if (!active_) return;
  DiscardRows();
  State& s = *state_;
  if (s.cursor_open && db_.Connected()) {
    CloseCursor();
  }
  s.cursor_open = false;
}

void Query::ExecSQL() {
  Close();
  if (!db_.Connected()) throw DbError("The database is not connected");
  db_.RunStep([this] { Run({}, false, false); });
  ExecDone();
}

void Query::ExecSQL(std::string text) {
  SetSQL(std::move(text));
  ExecSQL();
}

void Query::ExecSQL(std::span<const Param> params) {
  Close();
  if (!db_.Connected()) throw DbError("The database is not connected");
  db_.RunStep([this, params] { Run(params, true, false); });
  ExecDone();
}

std::int64_t Query::RowsAffected() {
  State& s = *state_;
  if (s.stmt == 0 || !db_.Connected()) return 0;
  FbClient& fb = db_.client();
  ISC_STATUS_ARRAY status = {};
  const char items[] = {isc_info_sql_records};
  char buffer[128] = {};
  fb.dsql_sql_info(status, &s.stmt, sizeof(items), items, sizeof(buffer), buffer);
  if (HasError(status)) throw fb.ErrorFromStatus(status);
  // isc_info_sql_records, a 2-byte length, then items of a code, a 2-byte
  // length and a 4-byte count each; every length is checked against the
  // buffer the server filled.
  if (static_cast<unsigned char>(buffer[0]) != isc_info_sql_records) return 0;
  const auto u16 = [&](int at) {
    return static_cast<int>(static_cast<unsigned char>(buffer[at]) |
                            (static_cast<unsigned char>(buffer[at + 1]) << 8));
  };
  const int end = std::min<int>(3 + u16(1), sizeof(buffer));
  std::int64_t changed = 0;
  for (int p = 3; p + 3 <= end;) {
    const int item = static_cast<unsigned char>(buffer[p]);
    if (item == isc_info_end) break;
    const int len = u16(p + 1);
    if (p + 3 + len > end) break;
    if (len == 4 && (item == isc_info_req_update_count || item == isc_info_req_delete_count ||
                     item == isc_info_req_insert_count)) {
      std::uint32_t n = 0;
      for (int i = 3; i >= 0; --i) n = (n << 8) | static_cast<unsigned char>(buffer[p + 3 + i]);
      changed += n;
    }
    p += 3 + len;
  }
  return changed;
}

void Query::ExecDone() {
  State& s = *state_;
  if (s.cursor_open) {
    // Rows a statement returns are not wanted here.
    s.cursor_open = false;
    ISC_STATUS_ARRAY ignored = {};
    db_.client().dsql_free_statement(ignored, &s.stmt, DSQL_close);
  }
  if (transaction_.mode() == Transaction::Mode::kExplicit) {
    ++transaction_.uncommitted_;
  } else {
    transaction_.AutoEnd(true);
  }
}

void Query::ReleaseQuietly(std::intptr_t* status) {
  State& s = *state_;
  if (s.stmt != 0) {
    db_.client().dsql_free_statement(status, &s.stmt, DSQL_drop);
  }
  Drop();
}

void Query::Release() {
  State& s = *state_;
  if (s.stmt == 0) {
    s.prepared = false;
    return;
  }
  ISC_STATUS_ARRAY status = {};
  if (db_.Connected()) ReleaseQuietly(status);
  Drop();
  if (HasError(status)) {
    DbError error = db_.client().ErrorFromStatus(status);
    if (!error.lost_connection()) throw error;
  }
}

void Query::Drop() {
  State& s = *state_;
  s.stmt = 0;
  s.prepared = false;
  s.in.reset();
  s.cursor_open = false;
}

void Query::MarkCursorLost(const std::string& message) {
  State& s = *state_;
  if (!s.cursor_open) return;
  s.cursor_lost = true;
  s.cursor_lost_message = message;
}

void Query::ResetAfterDisconnect() {
  Drop();
  DiscardRows();
}

void Query::DiscardRows() {
  active_ = false;
  State& s = *state_;
  rows_->Clear();
  s.row_count = 0;
  s.current = 0;
  s.cursor_lost = false;
}

}  // namespace quilvane::db
