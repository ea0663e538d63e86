// Preparing a Query's statement: its type, its output columns and the
// buffer each fetched row lands in, and its input parameters.
#include "db/query.h"

#include <algorithm>
#include <cstring>

#include "db/convert.h"
#include "db/database.h"
#include "db/error.h"
#include "db/handles.h"
#include "db/transaction.h"

namespace quilvane::db {
namespace {

constexpr size_t kAlign = 8;

size_t AlignUp(size_t n) { return (n + kAlign - 1) / kAlign * kAlign; }

// A little-endian integer of an info buffer.
int InfoInteger(const char* p, int length) {
  int value = 0;
  for (int i = 0; i < length; ++i) {
    value |= static_cast<int>(static_cast<unsigned char>(p[i])) << (8 * i);
  }
  return value;
}

}  // namespace

SqldaPtr AllocateSqlda(int columns) {
  const int n = std::max(columns, 1);
  auto* p = static_cast<XSQLDA*>(::operator new(XSQLDA_LENGTH(n)));
  std::memset(p, 0, XSQLDA_LENGTH(n));
  p->version = SQLDA_VERSION1;
  p->sqln = static_cast<ISC_SHORT>(n);
  return SqldaPtr(p);
}

void Query::Prepare() {
  if (state_->prepared) return;
  if (!db_.Connected()) throw DbError("The database is not connected");
  bool lossless = true;
  const std::string text = convert::Utf8ToDbText(sql_, &lossless);
  if (!lossless) {
    throw DbError("The statement holds characters that ISO8859_1 cannot represent: " + sql_);
  }
  if (text.find('\0') != std::string::npos) throw DbError("The statement holds a NUL character");
  if (text.empty()) throw DbError("The statement text is empty");

  FbClient& fb = db_.client();
  ISC_STATUS_ARRAY status = {};
  State& s = *state_;
  if (s.stmt == 0) {
    fb.dsql_allocate_statement(status, &db_.state_->handle, &s.stmt);
    if (HasError(status)) {
      s.stmt = 0;
      throw fb.ErrorFromStatus(status);
    }
  }
  s.out = AllocateSqlda(32);
  s.in.reset();
  fb.dsql_prepare(status, &transaction_.state_->handle, &s.stmt, 0, text.c_str(), 3, s.out.get());
  if (HasError(status)) {
    DbError error = fb.ErrorFromStatus(status);
    if (!error.lost_connection()) Release();
    throw error;
  }
  if (s.out->sqld > s.out->sqln) {
    s.out = AllocateSqlda(s.out->sqld);
    fb.dsql_describe(status, &s.stmt, SQLDA_VERSION1, s.out.get());
    if (HasError(status)) throw fb.ErrorFromStatus(status);
  }

  const char item = isc_info_sql_stmt_type;
  char info[16] = {};
  fb.dsql_sql_info(status, &s.stmt, 1, &item, sizeof info, info);
  if (HasError(status)) throw fb.ErrorFromStatus(status);
  s.statement_type = 0;
  if (info[0] == isc_info_sql_stmt_type) {
    const int length = InfoInteger(info + 1, 2);
    if (length > 0 && length <= 4) s.statement_type = InfoInteger(info + 3, length);
  }

  // Lay out the fetch buffer: every column's value, then its null
  // indicator, each aligned; the row store packs each fetched row.
  s.columns.clear();
  size_t offset = 0;
  for (int i = 0; i < s.out->sqld; ++i) {
    XSQLVAR& var = s.out->sqlvar[i];
    if (var.sqllen < 0) throw DbError("The server described a column of negative length");
    Column c;
    c.type = static_cast<short>(var.sqltype & ~1);
    c.scale = var.sqlscale;
    c.length = var.sqllen;
    c.name = convert::DbTextToUtf8(
        {var.aliasname, size_t(std::clamp<short>(var.aliasname_length, 0, 31))});
    // A fixed-width value is read whole even when the server described it
    // shorter.
    const size_t size = c.type == SQL_VARYING ? size_t(var.sqllen) + 2
                        : IsTextType(c.type)  ? size_t(var.sqllen)
                                              : std::max(size_t(var.sqllen), FixedWidth(c));
    c.data_offset = offset;
    offset = AlignUp(offset + size);
    c.null_offset = offset;
    offset = AlignUp(offset + sizeof(short));
    s.columns.push_back(std::move(c));
  }
  s.row_size = std::max<size_t>(offset, kAlign);
  s.fetch_buffer.assign(s.row_size, 0);
  for (int i = 0; i < s.out->sqld; ++i) {
    XSQLVAR& var = s.out->sqlvar[i];
    var.sqltype = static_cast<short>(var.sqltype | 1);  // always report NULLs
    var.sqldata = s.fetch_buffer.data() + s.columns[i].data_offset;
    var.sqlind = reinterpret_cast<short*>(s.fetch_buffer.data() + s.columns[i].null_offset);
  }
  s.prepared = true;
}

void Query::PrepareInput() {
  State& s = *state_;
  if (s.in) return;
  FbClient& fb = db_.client();
  ISC_STATUS_ARRAY status = {};
  SqldaPtr in = AllocateSqlda(8);
  fb.dsql_describe_bind(status, &s.stmt, SQLDA_VERSION1, in.get());
  if (HasError(status)) throw fb.ErrorFromStatus(status);
  if (in->sqld > in->sqln) {
    in = AllocateSqlda(in->sqld);
    fb.dsql_describe_bind(status, &s.stmt, SQLDA_VERSION1, in.get());
    if (HasError(status)) throw fb.ErrorFromStatus(status);
  }
  s.in = std::move(in);
}

}  // namespace quilvane::db
