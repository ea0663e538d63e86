#pragma once

// Client-side state behind the public classes. Internal.

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "db/column.h"
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

inline bool HasError(const ISC_STATUS* status) { return status[0] == 1 && status[1] != 0; }

}  // namespace quilvane::db
