#include "exchange/product_scan.h"

#include <cstring>

#include "db/error.h"
#include "db/query.h"
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

void Append(std::string& out, const db::StoredValue& v) {
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

db::StoredValue Next(std::string_view& in) {
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
      in.remove_prefix(n);
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

}  // namespace

std::unique_ptr<ProductScan> ProductScan::Load(db::Database& db, db::Transaction& trans) {
  std::string columns = "CODIGO";
  for (std::size_t part = 0; part + 1 < kStatementPartCount; ++part) {
    columns += ", " + std::string(kStatementParts[part].column);
  }
  auto scan = std::make_unique<ProductScan>();
  db::Query q(db, trans);
  try {
    q.SetSQL("SELECT " + columns + " FROM PRODUTOS");
    q.Open();
    for (; !q.Eof(); q.Next()) {
      const db::StoredValue code = q.Fields(0).Stored();
      if (code.kind != db::StoredValue::Kind::kText) continue;  // NULL: no statement names it
      Row row;
      for (int field = 1; field < static_cast<int>(kStatementPartCount); ++field) {
        Append(row.values, q.Fields(field).Stored());
      }
      scan->rows_[std::string(WithoutTrailingBlanks(code.bytes))].push_back(std::move(row));
    }
    q.Close();
  } catch (const db::DbError& e) {
    if (e.lost_connection() || !db.Connected()) throw;
    q.Close();
    return nullptr;
  }
  return scan;
}

const std::vector<ProductScan::Row>* ProductScan::Find(std::string_view code) const {
  const auto it = rows_.find(std::string(WithoutTrailingBlanks(code)));
  return it == rows_.end() ? nullptr : &it->second;
}

std::vector<db::StoredValue> ProductScan::Values(const Row& row) {
  std::vector<db::StoredValue> values;
  values.reserve(kStatementPartCount - 1);
  std::string_view in = row.values;
  while (!in.empty()) values.push_back(Next(in));
  return values;
}

void ProductScan::Touch(std::string_view code) {
  touched_.insert(std::string(WithoutTrailingBlanks(code)));
}

bool ProductScan::Touched(std::string_view code) const {
  return touched_.count(std::string(WithoutTrailingBlanks(code))) > 0;
}

}  // namespace quilvane::exchange
