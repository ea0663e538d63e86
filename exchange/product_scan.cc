#include "exchange/product_scan.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "db/error.h"
#include "db/query.h"
#include "db/transaction.h"
#include "exchange/format.h"
#include "exchange/stored_compare.h"

namespace quilvane::exchange {
namespace {

template <typename T>
void Put(std::string& out, T value) {
  out.append(reinterpret_cast<const char*>(&value), sizeof value);
}

template <typename T>
T Take(std::string_view& in) {
  T value{};
  std::memcpy(&value, in.data(), sizeof value);
  in.remove_prefix(sizeof value);
  return value;
}

}  // namespace

void ProductScan::Encode(std::string& out, const db::StoredValue& v) {
  using Kind = db::StoredValue::Kind;
  out += static_cast<char>(v.kind);
  switch (v.kind) {
    case Kind::kExact:
      Put(out, v.integer);
      Put(out, static_cast<std::int8_t>(v.scale));
      break;
    case Kind::kDouble:
      Put(out, v.real);
      break;
    case Kind::kText:
      out += static_cast<char>(v.fixed_length);
      Put(out, static_cast<std::uint32_t>(v.bytes.size()));
      out += v.bytes;
      break;
    case Kind::kDate:
      Put(out, v.date);
      break;
    case Kind::kTimestamp:
      Put(out, v.date);
      Put(out, v.time);
      break;
    default:
      break;
  }
}

std::string_view ProductScan::TakeValue(std::string_view& values) {
  using Kind = db::StoredValue::Kind;
  std::size_t size = 1;
  switch (static_cast<Kind>(values.front())) {
    case Kind::kExact:
      size += sizeof(std::int64_t) + sizeof(std::int8_t);
      break;
    case Kind::kDouble:
      size += sizeof(double);
      break;
    case Kind::kText: {
      std::string_view length = values.substr(2);
      size += 1 + sizeof(std::uint32_t) + Take<std::uint32_t>(length);
      break;
    }
    case Kind::kDate:
      size += sizeof(std::int32_t);
      break;
    case Kind::kTimestamp:
      size += sizeof(std::int32_t) + sizeof(std::uint32_t);
      break;
    default:
      break;
  }
  const std::string_view value = values.substr(0, size);
  values.remove_prefix(size);
  return value;
}

db::StoredValue ProductScan::Decode(std::string_view in) {
  using Kind = db::StoredValue::Kind;
  db::StoredValue v;
  v.kind = static_cast<Kind>(in.front());
  in.remove_prefix(1);
  switch (v.kind) {
    case Kind::kExact:
      v.integer = Take<std::int64_t>(in);
      v.scale = Take<std::int8_t>(in);
      break;
    case Kind::kDouble:
      v.real = Take<double>(in);
      break;
    case Kind::kText: {
      v.fixed_length = in.front() != 0;
      in.remove_prefix(1);
      const auto n = Take<std::uint32_t>(in);
      v.bytes = std::string(in.substr(0, n));
      break;
    }
    case Kind::kDate:
      v.date = Take<std::int32_t>(in);
      break;
    case Kind::kTimestamp:
      v.date = Take<std::int32_t>(in);
      v.time = Take<std::uint32_t>(in);
      break;
    default:
      break;
  }
  return v;
}

bool ProductScan::IsOther(std::string_view value) {
  return static_cast<db::StoredValue::Kind>(value.front()) == db::StoredValue::Kind::kOther;
}

ProductScan::Fitness ProductScan::Check(db::Database& db, db::Transaction& trans) {
  Fitness fitness;
  db::Query q(db, trans);
  q.SetSQL("SELECT COUNT(*) FROM RDB$TRIGGERS WHERE " + std::string(kProductTriggers));
  q.Open();
  fitness.has_triggers = q.Fields(0).AsInteger() > 0;
  q.Close();
  q.SetSQL(
      "SELECT COALESCE(RF.RDB$COLLATION_ID, F.RDB$COLLATION_ID, 0),\n"
      "  COALESCE(F.RDB$CHARACTER_SET_ID, 0)\n"
      "FROM RDB$RELATION_FIELDS RF\n"
      "JOIN RDB$FIELDS F ON F.RDB$FIELD_NAME = RF.RDB$FIELD_SOURCE\n"
      "WHERE RF.RDB$RELATION_NAME = 'PRODUTOS' AND RF.RDB$FIELD_NAME = 'CODIGO'");
  q.Open();
  constexpr std::int64_t kOctets = 1;
  fitness.binary_codes =
      !q.Eof() && q.Fields(0).AsInteger() == 0 && q.Fields(1).AsInteger() != kOctets;
  q.Close();
  return fitness;
}

std::unique_ptr<ProductScan> ProductScan::Load(db::Database& db, db::Transaction& trans,
                                               std::stop_token stop) {
  std::string columns = "CODIGO";
  for (std::size_t part = 0; part + 1 < kStatementPartCount; ++part) {
    columns += ", " + std::string(kStatementParts[part].column);
  }
  auto scan = std::make_unique<ProductScan>();
  db::Query q(db, trans);
  try {
    q.SetSQL("SELECT " + columns + " FROM PRODUTOS");
    q.SetForwardOnly(true);  // the rows are kept here, compactly
    q.Open();
    std::string row;
    for (; !q.Eof(); q.Next()) {
      if (stop.stop_requested()) {
        q.Close();
        return nullptr;
      }
      const db::StoredValue code = q.Fields(0).Stored();
      if (code.kind != db::StoredValue::Kind::kText) continue;  // NULL: no statement names it
      row.clear();
      for (int field = 1; field < static_cast<int>(kStatementPartCount); ++field) {
        Encode(row, q.Fields(field).Stored());
      }
      // Row indexes are 32-bit: a table past that is read run by run instead
      // (as is one whose values pass ChunkedText's bounds, which throws).
      if (scan->rows_.size() >=
          static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) {
        q.Close();
        return nullptr;
      }
      const ChunkedText::Place place = scan->values_.Append({row});
      Product& product = scan->Insert(WithoutTrailingBlanks(code.bytes));
      // A code's rows are chained newest first; any order serves.
      scan->rows_.push_back({place, static_cast<std::uint32_t>(row.size()), product.first_row});
      product.first_row = static_cast<std::int32_t>(scan->rows_.size() - 1);
    }
    q.Close();
  } catch (const db::DbError& e) {
    if (e.lost_connection() || !db.Connected()) throw;
    q.Close();
    return nullptr;
  } catch (const platform::Error&) {
    q.Close();
    return nullptr;
  }
  return scan;
}

std::future<std::unique_ptr<ProductScan>> ProductScan::LoadAside(const db::Database& db,
                                                                 std::stop_token stop) {
  return std::async(std::launch::async, [&env = db.env(), params = db.params(), stop] {
    try {
      db::Database aside(env);
      for (const auto& [name, value] : params) aside.SetParam(name, value);
      aside.Connect();
      db::Transaction read(aside, db::Transaction::Access::kReadOnly,
                           db::Transaction::Mode::kExplicit);
      read.StartTransaction();
      std::unique_ptr<ProductScan> scan;
      if (Check(aside, read).fit()) scan = Load(aside, read, stop);
      read.Commit();
      aside.Disconnect();
      return scan;
    } catch (const std::exception&) {
      // The caller goes on reading product by product.
      return std::unique_ptr<ProductScan>();
    }
  });
}

namespace {

std::uint32_t HashOf(std::string_view code) {
  return static_cast<std::uint32_t>(std::hash<std::string_view>{}(code));
}

}  // namespace

std::uint32_t& ProductScan::Slot(std::string_view code, std::uint32_t hash) {
  const std::size_t mask = slots_.size() - 1;
  for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
    std::uint32_t& slot = slots_[i];
    if (slot == 0) return slot;
    const Entry& e = entries_[slot - 1];
    if (e.hash == hash && codes_.At(e.code, e.code_size) == code) return slot;
  }
}

void ProductScan::Grow() {
  std::vector<std::uint32_t> old = std::move(slots_);
  slots_.assign(std::max<std::size_t>(1024, old.size() * 2), 0);
  const std::size_t mask = slots_.size() - 1;
  for (std::uint32_t index : old) {
    if (index == 0) continue;
    std::size_t i = entries_[index - 1].hash & mask;
    while (slots_[i] != 0) i = (i + 1) & mask;
    slots_[i] = index;
  }
}

ProductScan::Product& ProductScan::Insert(std::string_view code) {
  if ((entries_.size() + 1) * 2 > slots_.size()) Grow();
  const std::uint32_t hash = HashOf(code);
  std::uint32_t& slot = Slot(code, hash);
  if (slot == 0) {
    entries_.push_back({codes_.Append({code}), static_cast<std::uint32_t>(code.size()), hash, {}});
    slot = static_cast<std::uint32_t>(entries_.size());
  }
  return entries_[slot - 1].product;
}

ProductScan::Product* ProductScan::Find(std::string_view code) {
  if (slots_.empty()) return nullptr;
  code = WithoutTrailingBlanks(code);
  const std::uint32_t slot = Slot(code, HashOf(code));
  return slot == 0 ? nullptr : &entries_[slot - 1].product;
}

void ProductScan::ForEachRow(const Product& product,
                             const std::function<void(std::string_view values)>& each) const {
  for (std::int32_t r = product.first_row; r >= 0; r = rows_[static_cast<std::size_t>(r)].next) {
    const RowSpan& row = rows_[static_cast<std::size_t>(r)];
    each(values_.At(row.place, row.size));
  }
}

}  // namespace quilvane::exchange
