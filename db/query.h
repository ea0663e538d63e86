#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "db/stored_value.h"
#include "platform/datetime.h"

namespace quilvane::db {

class Database;
class Transaction;
class Query;
class RowStore;

// One column of a query's current row. A light handle: it reads the row that
// is current when a method is called, and stays usable while the query is
// open. Conversions follow the rules of the ERP's column kinds:
//  - IsNull(): NULL, or a text that is empty (CHAR: once its trailing blanks
//    are gone).
//  - AsString(): UTF-8 of the text, its bytes read as Windows-1252 (see
//    convert::DbTextToUtf8); CHAR without trailing blanks,
//    VARCHAR as stored; integers as decimal digits; exact numerics in their
//    shortest form with the regional decimal separator; NULL gives "".
//  - AsCurrency(): signed count of ten-thousandths. Integers and exact
//    numerics of up to 4 decimals are exact; more decimals and floating
//    point are rounded to the nearest, an exact half to the even one. NULL
//    gives 0.
//  - AsDateTime(): DATE, TIMESTAMP, TIME; CHAR/VARCHAR through the regional
//    date conversion (empty, NULL or unconvertible text is an error); NULL of
//    a date kind gives 0.
// A conversion the column kind does not allow throws DbError
// "Cannot access field '<name>' as type <type>".
class Field {
 public:
  Field(const Query* query, int index) : query_(query), index_(index) {}

  const std::string& name() const;
  bool IsNull() const;
  std::string AsString() const;
  std::int64_t AsCurrency() const;
  platform::DateTime AsDateTime() const;
  // Integers and exact numerics (cut towards zero); NULL gives 0.
  std::int64_t AsInteger() const;
  // The value unconverted (a true NULL apart from empty text).
  StoredValue Stored() const;

 private:
  const Query* query_;
  int index_;
};

// A parameter value for Query::ExecSQL(params): NULL, text (UTF-8),
// an integer, a currency (ten-thousandths) or a date-time.
struct Currency {
  std::int64_t ten_thousandths = 0;
};
using Param = std::variant<std::monostate, std::string, std::int64_t, Currency, platform::DateTime>;

// A statement on a connection and a transaction: a query that reads rows
// (Open, Next, Eof, FieldByName) or a statement that is executed (ExecSQL).
// Rows are fetched in rowsets of 50 and kept in memory while the query is
// open, packed compactly (a result of many rows costs little more than its
// values); once the server reports the end, its cursor is closed at once and
// an automatic transaction ends.
class Query {
 public:
  static constexpr int kRowsetSize = 50;

  Query(Database& db, Transaction& transaction);
  ~Query();
  Query(const Query&) = delete;
  Query& operator=(const Query&) = delete;

  // Replaces the statement text (UTF-8; sent as the ERP's text, each
  // character as its Windows-1252 byte, in ISO8859_1 exactly as given,
  // nothing is taken as a parameter or macro). Closes the query and releases
  // the previous statement.
  void SetSQL(std::string text);
  const std::string& sql() const { return sql_; }

  // Runs the statement and reads the first rowset. The current row is the
  // first, or none (Eof) for an empty result. Opening an open query does
  // nothing.
  void Open();
  // Open() of a text with '?' markers bound to `params`, as ExecSQL(params).
  void Open(std::span<const Param> params);
  // Forward only: the rows of a rowset are dropped once the cursor moves
  // past them, so that a read of a whole table in one pass holds one rowset
  // at a time. First() then goes back to the first row held, RecordCount()
  // counts those.
  void SetForwardOnly(bool forward_only) { forward_only_ = forward_only; }
  // Reads every remaining row into memory.
  void FetchAll();
  void First();
  void Next();
  bool Eof() const;
  // Discards the rows; closing a closed query does nothing.
  void Close();
  bool Active() const { return active_; }
  // Rows held in memory.
  std::size_t RecordCount() const;

  int FieldCount() const;
  // Names match without regard to letter case. Throws DbError
  // "Field '<name>' not found" when there is none.
  Field FieldByName(std::string_view name) const;
  Field Fields(int index) const { return Field(this, index); }

  // Prepares the text (when not prepared) and executes it once on the
  // transaction, which must be active for an explicit transaction. Rows a
  // statement returns are ignored. The statement stays prepared until the
  // text changes or the connection closes.
  void ExecSQL();
  // SetSQL(text) then ExecSQL().
  void ExecSQL(std::string text);
  // Executes the prepared statement with its '?' markers bound to `params`,
  // in order; preparing once and executing many times saves the prepare.
  // Only for texts written with markers, never for imported lines.
  void ExecSQL(std::span<const Param> params);

  // Rows the last executed UPDATE, DELETE or INSERT changed, as the server
  // counts them; 0 for other statements.
  std::int64_t RowsAffected();

 private:
  friend class Field;
  friend class Database;
  friend class Transaction;
  struct State;

  void Prepare();
  void PrepareInput();
  // isc_dsql_execute with `in` (may be null).
  void ExecuteRaw(void* in);
  // Prepare and execute as one step; for a query, leaves the cursor open.
  void Run(std::span<const Param> params, bool bind, bool open_cursor);
  // Fetches up to `max_rows` more rows (all when negative).
  void FetchRows(long max_rows);
  // Closes the server cursor; when `at_end`, the result was read whole.
  void CloseCursor();
  // Releases the statement on the server (DSQL_drop) without raising.
  void ReleaseQuietly(std::intptr_t* status);
  void Release();
  // The attachment is gone: forget handles without calling the server.
  void Drop();
  // The connection was given up with this query's cursor open.
  void MarkCursorLost(const std::string& message);
  void ResetAfterDisconnect();
  // Inactive, no rows held, the cursor not marked lost.
  void DiscardRows();
  void ExecDone();
  bool HoldsOpenCursor() const;
  // The current row's value of column `index` as stored; nullopt for NULL
  // and when there is no current row.
  std::optional<std::string_view> Value(int index) const;

  Database& db_;
  Transaction& transaction_;
  std::string sql_;
  bool active_ = false;
  bool forward_only_ = false;
  std::unique_ptr<State> state_;
  std::unique_ptr<RowStore> rows_;
};

}  // namespace quilvane::db
