#pragma once

// Client-side state behind the public classes. Internal.

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "db/database.h"
#include "db/fbclient.h"
#include "db/query.h"
#include "db/transaction.h"
#include "platform/regional.h"

namespace quilvane::db {

struct Database::State {
  isc_db_handle handle = 0;
};

struct Transaction::State {
  isc_tr_handle handle = 0;
};

struct SqldaDeleter {
  void operator()(XSQLDA* p) const { ::operator delete(p); }
};
using SqldaPtr = std::unique_ptr<XSQLDA, SqldaDeleter>;
SqldaPtr AllocateSqlda(int columns);

// One result column and where its value lies in the fetch buffer.
struct Column {
  std::string name;
  short type = 0;  // sqltype without the nullable bit
  short scale = 0;
  short length = 0;
  size_t data_offset = 0;
  size_t null_offset = 0;
};

struct Query::State {
  isc_stmt_handle stmt = 0;
  bool prepared = false;
  int statement_type = 0;
  SqldaPtr out;
  SqldaPtr in;
  std::vector<Column> columns;
  size_t row_size = 0;
  std::vector<char> fetch_buffer;  // the row being fetched
  size_t row_count = 0;
  size_t current = 0;
  bool cursor_open = false;
  // The cursor was lost with the connection before its end: reading past
  // the rows held is an error, never a silently shorter result.
  bool cursor_lost = false;
  std::string cursor_lost_message;
  platform::FormatSettings regional;
  int current_year = 2000;
};

}  // namespace quilvane::db

namespace quilvane::db {

// Runs one step of a statement or transaction under the reconnection
// policy: a lost connection attaches again and repeats the step once, when
// nothing uncommitted or unread would be lost with the old attachment.
struct Steps {
  template <typename F>
  static void Run(Database& db, F&& step) {
    try {
      step();
      return;
    } catch (const DbError& e) {
      if (!e.lost_connection()) throw;
      db.RecoverOrThrow(e);
    }
    try {
      step();
    } catch (const DbError& e) {
      if (e.lost_connection()) db.AbandonAndThrow(e);
      throw;
    }
  }
  static FbClient& Client(Database& db) { return db.client(); }
  static isc_db_handle* Handle(Database& db) { return &db.state_->handle; }
  static const std::vector<Query*>& Queries(Database& db) { return db.queries_; }
};

inline bool HasError(const ISC_STATUS* status) { return status[0] == 1 && status[1] != 0; }

}  // namespace quilvane::db
