#include "db/query.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>

#include "db/convert.h"
#include "db/database.h"
#include "db/error.h"
#include "db/handles.h"
#include "db/transaction.h"
#include "platform/codepage.h"
#include "platform/env.h"

namespace quilvane::db {
namespace {

constexpr short kCharsetIso8859_1 = 21;
constexpr size_t kAlign = 8;

size_t AlignUp(size_t n) { return (n + kAlign - 1) / kAlign * kAlign; }

bool EqualsNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

template <typename T>
T Load(const char* p) {
  T v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

// A little-endian integer of an info buffer.
int InfoInteger(const char* p, int length) {
  int value = 0;
  for (int i = 0; i < length; ++i) value |= static_cast<int>(static_cast<unsigned char>(p[i])) << (8 * i);
  return value;
}

bool IsTextType(short type) { return type == SQL_TEXT || type == SQL_VARYING; }
bool IsIntegerType(short type) { return type == SQL_SHORT || type == SQL_LONG || type == SQL_INT64; }
bool IsFloatType(short type) { return type == SQL_FLOAT || type == SQL_DOUBLE || type == SQL_D_FLOAT; }
bool IsDateType(short type) {
  return type == SQL_TYPE_DATE || type == SQL_TIMESTAMP || type == SQL_TYPE_TIME;
}

[[noreturn]] void CannotAccess(const std::string& name, const char* type) {
  throw DbError("Cannot access field '" + name + "' as type " + type);
}

std::string TwoDigits(int v) {
  std::string s = std::to_string(v);
  return s.size() < 2 ? "0" + s : s;
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

namespace {

// Bytes a value of a fixed-width kind takes; for kinds no conversion reads,
// the width the server gave.
size_t FixedWidth(const Column& c) {
  switch (c.type) {
    case SQL_SHORT: return 2;
    case SQL_LONG:
    case SQL_FLOAT:
    case SQL_TYPE_DATE:
    case SQL_TYPE_TIME: return 4;
    case SQL_INT64:
    case SQL_DOUBLE:
    case SQL_D_FLOAT:
    case SQL_TIMESTAMP: return 8;
    case SQL_BOOLEAN: return 1;
    default: return size_t(c.length);
  }
}

// The text a fetched CHAR or VARCHAR holds: CHAR without its trailing
// blanks (nothing reads them), VARCHAR by its length word, which comes from
// the server and is kept within the column.
std::string_view FetchedText(const Column& c, const char* data) {
  if (c.type == SQL_TEXT) return convert::TrimTrailingBlanks({data, size_t(c.length)});
  return {data + 2, size_t(std::clamp<short>(Load<short>(data), 0, c.length))};
}

// Text lengths (at most 32767) take one byte below 128, two above.
size_t LengthBytes(size_t n) { return n < 0x80 ? 1 : 2; }

}  // namespace

// The rows of an open query. A whole result is held at once (the export
// reads every product before it writes a line), so each row is stored
// compactly: a bitmap of its NULL columns, then the values of the others in
// column order (a text as its length and its bytes, any other kind in its
// wire width). Rows lie back to back in large blocks: no row is split, no
// row is allocated on its own and nothing is copied as the result grows. The
// cursor walks the blocks in order and decodes the row it stands on once.
class Query::RowStore {
 public:
  static constexpr size_t kBlockSize = 256 * 1024;

  explicit RowStore(const std::vector<Column>& columns) : columns_(columns) {}

  // Frees every block; the cursor goes to the first row.
  void Clear() {
    blocks_.clear();
    blocks_.shrink_to_fit();
    Rewind();
  }

  // Appends the row of the fetch buffer, laid out as `columns_` describe.
  void Append(const char* fetched) {
    const size_t bitmap = BitmapBytes();
    size_t size = bitmap;
    for (const Column& c : columns_) {
      if (Load<short>(fetched + c.null_offset) < 0) continue;
      if (IsTextType(c.type)) {
        const size_t n = FetchedText(c, fetched + c.data_offset).size();
        size += LengthBytes(n) + n;
      } else {
        size += FixedWidth(c);
      }
    }
    char* out = Reserve(size);
    std::memset(out, 0, bitmap);
    char* p = out + bitmap;
    for (size_t i = 0; i < columns_.size(); ++i) {
      const Column& c = columns_[i];
      const char* data = fetched + c.data_offset;
      if (Load<short>(fetched + c.null_offset) < 0) {
        out[i / 8] = static_cast<char>(out[i / 8] | (1 << (i % 8)));
      } else if (IsTextType(c.type)) {
        const std::string_view text = FetchedText(c, data);
        const size_t n = text.size();
        if (n < 0x80) {
          *p++ = static_cast<char>(n);
        } else {
          *p++ = static_cast<char>(0x80 | (n & 0x7f));
          *p++ = static_cast<char>(n >> 7);
        }
        std::memcpy(p, text.data(), n);
        p += n;
      } else {
        std::memcpy(p, data, FixedWidth(c));
        p += FixedWidth(c);
      }
    }
  }

  // The cursor: the first row, or the row after the current one (which must
  // exist).
  void Rewind() {
    block_ = 0;
    offset_ = 0;
    decoded_ = false;
  }
  void Advance() {
    Decode();
    offset_ += row_size_;
    decoded_ = false;
  }

  // A value of the row at the cursor, which must exist.
  const std::optional<std::string_view>& Value(int index) {
    Decode();
    return values_[static_cast<size_t>(index)];
  }

 private:
  struct Block {
    std::unique_ptr<char[]> data;
    size_t capacity = 0;
    size_t used = 0;
  };

  // At least one byte, so that every row takes room and the cursor moves.
  size_t BitmapBytes() const { return std::max<size_t>((columns_.size() + 7) / 8, 1); }

  // Room for `size` bytes at the end of the last block, or of a new one.
  char* Reserve(size_t size) {
    if (blocks_.empty() || blocks_.back().capacity - blocks_.back().used < size) {
      Block b;
      b.capacity = std::max(kBlockSize, size);
      // Uninitialized: pages not yet written take no memory.
      b.data = std::make_unique_for_overwrite<char[]>(b.capacity);
      blocks_.push_back(std::move(b));
    }
    Block& b = blocks_.back();
    char* out = b.data.get() + b.used;
    b.used += size;
    return out;
  }

  void Decode() {
    if (decoded_) return;
    // Rows appended after the cursor reached the end of a block start the
    // next one.
    while (offset_ >= blocks_[block_].used) {
      ++block_;
      offset_ = 0;
    }
    const char* row = blocks_[block_].data.get() + offset_;
    const char* p = row + BitmapBytes();
    values_.resize(columns_.size());
    for (size_t i = 0; i < columns_.size(); ++i) {
      const Column& c = columns_[i];
      if ((static_cast<unsigned char>(row[i / 8]) >> (i % 8)) & 1) {
        values_[i].reset();
      } else if (IsTextType(c.type)) {
        size_t n = static_cast<unsigned char>(*p++);
        if (n & 0x80) n = (n & 0x7f) | size_t(static_cast<unsigned char>(*p++)) << 7;
        values_[i] = std::string_view(p, n);
        p += n;
      } else {
        values_[i] = std::string_view(p, FixedWidth(c));
        p += FixedWidth(c);
      }
    }
    row_size_ = static_cast<size_t>(p - row);
    decoded_ = true;
  }

  const std::vector<Column>& columns_;
  std::vector<Block> blocks_;
  size_t block_ = 0;
  size_t offset_ = 0;
  bool decoded_ = false;
  size_t row_size_ = 0;
  std::vector<std::optional<std::string_view>> values_;
};

// ---------------------------------------------------------------- Field ----

const std::string& Field::name() const { return query_->state_->columns[index_].name; }

bool Field::IsNull() const {
  const std::optional<std::string_view> v = query_->Value(index_);
  if (!v) return true;
  const Column& c = query_->state_->columns[index_];
  return IsTextType(c.type) && v->empty();
}

std::string Field::AsString() const {
  const Column& c = query_->state_->columns[index_];
  const std::optional<std::string_view> v = query_->Value(index_);
  const char* data = v ? v->data() : nullptr;
  const platform::FormatSettings& fs = query_->state_->regional;
  switch (c.type) {
    case SQL_TEXT:
    case SQL_VARYING:
      if (!v) return {};
      return platform::Latin1ToUtf8(*v);
    case SQL_SHORT:
    case SQL_LONG:
    case SQL_INT64: {
      if (!v) return {};
      const std::int64_t n = c.type == SQL_SHORT ? Load<std::int16_t>(data)
                             : c.type == SQL_LONG ? Load<std::int32_t>(data)
                                                  : Load<std::int64_t>(data);
      return convert::ScaledToText(n, c.scale, fs.decimal_separator);
    }
    case SQL_FLOAT:
      if (!v) return {};
      return convert::DoubleToText(Load<float>(data), fs.decimal_separator);
    case SQL_DOUBLE:
    case SQL_D_FLOAT:
      if (!v) return {};
      return convert::DoubleToText(Load<double>(data), fs.decimal_separator);
    case SQL_TYPE_DATE:
    case SQL_TIMESTAMP:
    case SQL_TYPE_TIME: {
      if (!v) return {};
      const platform::DateTime d = AsDateTime();
      const platform::CivilTime t = platform::DecodeTime(d);
      const std::string time = TwoDigits(t.hour) + fs.time_separator + TwoDigits(t.minute) +
                               fs.time_separator + TwoDigits(t.second);
      if (c.type == SQL_TYPE_TIME) return time;
      std::string out = platform::FormatShortDate(d, fs);
      if (c.type == SQL_TIMESTAMP && (t.hour | t.minute | t.second) != 0) out += " " + time;
      return out;
    }
    case SQL_BOOLEAN:
      if (!v) return {};
      return *data != 0 ? "True" : "False";
    default:
      CannotAccess(c.name, "String");
  }
}

std::int64_t Field::AsCurrency() const {
  const Column& c = query_->state_->columns[index_];
  if (!IsIntegerType(c.type) && !IsFloatType(c.type)) CannotAccess(c.name, "Currency");
  const std::optional<std::string_view> value = query_->Value(index_);
  if (!value) return 0;
  const char* data = value->data();
  std::optional<std::int64_t> v;
  switch (c.type) {
    case SQL_SHORT: v = convert::ScaledToCurrency(Load<std::int16_t>(data), c.scale); break;
    case SQL_LONG: v = convert::ScaledToCurrency(Load<std::int32_t>(data), c.scale); break;
    case SQL_INT64: v = convert::ScaledToCurrency(Load<std::int64_t>(data), c.scale); break;
    case SQL_FLOAT: v = convert::DoubleToCurrency(Load<float>(data)); break;
    default: v = convert::DoubleToCurrency(Load<double>(data)); break;
  }
  if (!v) throw DbError("The value of field '" + c.name + "' is out of the currency range");
  return *v;
}

platform::DateTime Field::AsDateTime() const {
  const Column& c = query_->state_->columns[index_];
  const std::optional<std::string_view> v = query_->Value(index_);
  if (IsTextType(c.type)) {
    const std::string text = v ? AsString() : std::string();
    auto d = convert::TextToDateTime(text, query_->state_->regional, query_->state_->current_year);
    if (!d) throw DbError("'" + text + "' is not a valid date and time");
    return *d;
  }
  if (!IsDateType(c.type)) CannotAccess(c.name, "DateTime");
  if (!v) return 0;
  const char* data = v->data();
  if (c.type == SQL_TYPE_DATE) return convert::FromIscDate(Load<ISC_DATE>(data));
  if (c.type == SQL_TYPE_TIME) return convert::FromIscTime(Load<ISC_TIME>(data));
  const platform::DateTime day = convert::FromIscDate(Load<ISC_DATE>(data));
  const platform::DateTime time = convert::FromIscTime(Load<ISC_TIME>(data + sizeof(ISC_DATE)));
  // Before 30 December 1899 the time of day counts away from zero.
  return day < 0 ? day - time : day + time;
}

std::int64_t Field::AsInteger() const {
  const Column& c = query_->state_->columns[index_];
  const std::optional<std::string_view> value = query_->Value(index_);
  if (IsTextType(c.type)) {
    const std::string text = value ? AsString() : std::string();
    std::int64_t v = 0;
    auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    if (text.empty() || ec != std::errc() || ptr != text.data() + text.size()) {
      throw DbError("'" + text + "' is not a valid integer value");
    }
    return v;
  }
  if (!IsIntegerType(c.type) && !IsFloatType(c.type)) CannotAccess(c.name, "Integer");
  if (!value) return 0;
  const char* data = value->data();
  if (IsFloatType(c.type)) {
    const double d = c.type == SQL_FLOAT ? Load<float>(data) : Load<double>(data);
    if (!std::isfinite(d) || std::fabs(d) >= 9.2e18) {
      throw DbError("The value of field '" + c.name + "' is out of the integer range");
    }
    return static_cast<std::int64_t>(d);
  }
  std::int64_t v = c.type == SQL_SHORT ? Load<std::int16_t>(data)
                   : c.type == SQL_LONG ? Load<std::int32_t>(data)
                                        : Load<std::int64_t>(data);
  for (int s = c.scale; s < 0; ++s) v /= 10;
  for (int s = c.scale; s > 0; --s) {
    if (__builtin_mul_overflow(v, 10, &v)) {
      throw DbError("The value of field '" + c.name + "' is out of the integer range");
    }
  }
  return v;
}

// ---------------------------------------------------------------- Query ----

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
    if (EqualsNoCase(state_->columns[i].name, name)) return Field(this, static_cast<int>(i));
  }
  throw DbError("Field '" + std::string(name) + "' not found");
}

void Query::Prepare() {
  if (state_->prepared) return;
  if (!db_.Connected()) throw DbError("The database is not connected");
  bool lossless = true;
  const std::string text = platform::Utf8ToLatin1(sql_, &lossless);
  if (!lossless) throw DbError("The statement holds characters that ISO8859_1 cannot represent: " + sql_);
  if (text.find('\0') != std::string::npos) throw DbError("The statement holds a NUL character");
  if (text.empty()) throw DbError("The statement text is empty");

  FbClient& fb = Steps::Client(db_);
  ISC_STATUS_ARRAY status = {};
  State& s = *state_;
  if (s.stmt == 0) {
    fb.dsql_allocate_statement(status, Steps::Handle(db_), &s.stmt);
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
    c.name = platform::Latin1ToUtf8({var.aliasname, size_t(std::clamp<short>(var.aliasname_length, 0, 31))});
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
  FbClient& fb = Steps::Client(db_);
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

void Query::ExecuteRaw(void* in) {
  FbClient& fb = Steps::Client(db_);
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
  std::vector<std::string> texts;
  std::vector<std::int64_t> numbers(params.size());
  std::vector<ISC_TIMESTAMP> stamps(params.size());
  std::vector<short> nulls(params.size());
  XSQLDA* in = nullptr;
  if (bind) {
    PrepareInput();
    in = s.in.get();
    if (static_cast<size_t>(in->sqld) != params.size()) {
      throw DbError("The statement takes " + std::to_string(in->sqld) + " parameters, " +
                    std::to_string(params.size()) + " given");
    }
    texts.reserve(params.size());
    for (size_t i = 0; i < params.size(); ++i) {
      XSQLVAR& var = in->sqlvar[i];
      var.sqlscale = 0;
      var.sqlsubtype = 0;
      var.sqlind = &nulls[i];
      nulls[i] = 0;
      const Param& p = params[i];
      if (std::holds_alternative<std::monostate>(p)) {
        nulls[i] = -1;
        var.sqltype = SQL_TEXT | 1;
        var.sqllen = 0;
        texts.emplace_back();
        var.sqldata = texts.back().data();
      } else if (auto* text = std::get_if<std::string>(&p)) {
        bool lossless = true;
        texts.push_back(platform::Utf8ToLatin1(*text, &lossless));
        if (!lossless || texts.back().size() > 32767) {
          throw DbError("Parameter " + std::to_string(i + 1) + " cannot be sent in ISO8859_1");
        }
        var.sqltype = SQL_TEXT | 1;
        var.sqlsubtype = kCharsetIso8859_1;
        var.sqllen = static_cast<short>(texts.back().size());
        var.sqldata = texts.back().data();
      } else if (auto* integer = std::get_if<std::int64_t>(&p)) {
        numbers[i] = *integer;
        var.sqltype = SQL_INT64 | 1;
        var.sqllen = 8;
        var.sqldata = reinterpret_cast<char*>(&numbers[i]);
      } else if (auto* currency = std::get_if<Currency>(&p)) {
        numbers[i] = currency->ten_thousandths;
        var.sqltype = SQL_INT64 | 1;
        var.sqlscale = -4;
        var.sqllen = 8;
        var.sqldata = reinterpret_cast<char*>(&numbers[i]);
      } else {
        const platform::DateTime v = std::get<platform::DateTime>(p);
        // Days of the years 1 to 9999, the range of a Firebird date.
        if (!(v > -693594.0 && v < 2958466.0)) {
          throw DbError("Parameter " + std::to_string(i + 1) + " is not a valid date");
        }
        const double day = std::trunc(v);
        const double fraction = std::fabs(v - day);
        stamps[i].timestamp_date = static_cast<ISC_DATE>(day) + 15018;
        stamps[i].timestamp_time =
            static_cast<ISC_TIME>(std::min(std::llround(fraction * 864000000.0), 863999999LL));
        var.sqltype = SQL_TIMESTAMP | 1;
        var.sqllen = sizeof(ISC_TIMESTAMP);
        var.sqldata = reinterpret_cast<char*>(&stamps[i]);
      }
    }
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
  State& s = *state_;
  rows_->Clear();
  s.row_count = 0;
  s.current = 0;
  s.cursor_lost = false;
  platform::Env& env = platform::Env::Default();
  s.regional = env.Regional();
  s.current_year = platform::DecodeDate(env.Now()).year;
  const bool bind = !params.empty();
  Steps::Run(db_, [this, params, bind] { Run(params, bind, true); });
  // A query with parameters in an explicit transaction may have written (a
  // selectable EXECUTE BLOCK): its work is lost with the connection like a
  // statement's.
  if (bind && transaction_.mode() == Transaction::Mode::kExplicit) ++transaction_.uncommitted_;
  active_ = true;
  FetchRows(kRowsetSize);
}

void Query::FetchRows(long max_rows) {
  State& s = *state_;
  FbClient& fb = Steps::Client(db_);
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
  FbClient& fb = Steps::Client(db_);
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
      FetchRows(kRowsetSize);
    } else if (s.cursor_lost) {
      throw DbError(s.cursor_lost_message);
    }
  }
}

bool Query::Eof() const { return !active_ || state_->current >= state_->row_count; }

void Query::Close() {
  if (!active_) return;
  active_ = false;
  State& s = *state_;
  rows_->Clear();
  s.row_count = 0;
  s.current = 0;
  s.cursor_lost = false;
  if (s.cursor_open && db_.Connected()) {
    CloseCursor();
  }
  s.cursor_open = false;
}

void Query::ExecSQL() {
  Close();
  if (!db_.Connected()) throw DbError("The database is not connected");
  Steps::Run(db_, [this] { Run({}, false, false); });
  ExecDone();
}

void Query::ExecSQL(std::string text) {
  SetSQL(std::move(text));
  ExecSQL();
}

void Query::ExecSQL(std::span<const Param> params) {
  Close();
  if (!db_.Connected()) throw DbError("The database is not connected");
  Steps::Run(db_, [this, params] { Run(params, true, false); });
  ExecDone();
}

std::int64_t Query::RowsAffected() {
  State& s = *state_;
  if (s.stmt == 0 || !db_.Connected()) return 0;
  FbClient& fb = Steps::Client(db_);
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
    Steps::Client(db_).dsql_free_statement(ignored, &s.stmt, DSQL_close);
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
    Steps::Client(db_).dsql_free_statement(status, &s.stmt, DSQL_drop);
  }
  s.stmt = 0;
  s.prepared = false;
  s.cursor_open = false;
  s.in.reset();
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
    DbError error = Steps::Client(db_).ErrorFromStatus(status);
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
  active_ = false;
  State& s = *state_;
  rows_->Clear();
  s.row_count = 0;
  s.current = 0;
  s.cursor_lost = false;
}

}  // namespace quilvane::db
