#pragma once

#include <cstdint>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <stop_token>
#include <string_view>
#include <vector>

#include "db/database.h"
#include "db/stored_value.h"
#include "db/transaction.h"
#include "exchange/chunked_text.h"

namespace quilvane::exchange {

// The active triggers on PRODUTOS, as a condition on RDB$TRIGGERS: those of
// a CHECK constraint only refuse values, and are left out.
inline constexpr std::string_view kProductTriggers =
    "RDB$TRIGGERS.RDB$RELATION_NAME = 'PRODUTOS' "
    "AND COALESCE(RDB$TRIGGERS.RDB$TRIGGER_INACTIVE, 0) = 0 "
    "AND NOT EXISTS (SELECT 1 FROM RDB$CHECK_CONSTRAINTS C "
    "WHERE C.RDB$TRIGGER_NAME = RDB$TRIGGERS.RDB$TRIGGER_NAME)";

// Every product's values of the columns an exchange statement assigns, as
// one natural read of PRODUTOS found them, kept compactly by code: for
// SomenteAlterados, one scan of the table instead of a lookup per statement.
// Codes are matched by their bytes without trailing blanks, which is the
// server's equality only under a binary collation: the caller checks it.
//
// A row's values are kept serialized back to back, one per statement part
// but the code, so that a value converted from a statement compares with
// the stored one as bytes (see Encode).
class ProductScan {
 public:
  // What decides whether a scan can stand for the server's comparison: an
  // active trigger on PRODUTOS (an update may change other products), and
  // whether CODIGO compares byte for byte (its character set's own
  // collation; OCTETS pads with zero bytes instead).
  struct Fitness {
    bool has_triggers = true;
    bool binary_codes = false;
    bool fit() const { return !has_triggers && binary_codes; }
  };
  static Fitness Check(db::Database& db, db::Transaction& trans);

  // The table read once in `trans`; nullptr when it cannot be read so (a
  // column missing) or `stop` is requested: the caller then reads product by
  // product. Throws DbError when the connection is lost.
  static std::unique_ptr<ProductScan> Load(db::Database& db, db::Transaction& trans,
                                           std::stop_token stop = {});
  // The same on a thread of its own, through an attachment of its own with
  // `db`'s parameters, so that the read overlaps the caller's work; nullptr
  // when the database is not fit for one (Check), it cannot be read, the
  // attachment fails or `stop` is requested, never an exception. It reads
  // what is committed while it runs. `db`'s Env must outlive it.
  static std::future<std::unique_ptr<ProductScan>> LoadAside(const db::Database& db,
                                                             std::stop_token stop);

  // The products of one code: its rows, and whether a statement of this
  // import sent it to the server (what was scanned for it no longer holds).
  struct Product {
    std::int32_t first_row = -1;
    bool touched = false;
  };
  // nullptr when no row has that code.
  Product* Find(std::string_view code);

  // Calls `each` with the serialized values of every row of `product`.
  void ForEachRow(const Product& product,
                  const std::function<void(std::string_view values)>& each) const;

  // Serialized values: appends `value` to `out`. Two values serialize alike
  // exactly when Holds(stored, converted) would tell them equal, for every
  // kind ConvertLiteral gives (never kDouble or kOther).
  static void Encode(std::string& out, const db::StoredValue& value);
  // The serialized value at the start of `values`, which it then leaves
  // behind; Decode reads one back.
  static std::string_view TakeValue(std::string_view& values);
  static db::StoredValue Decode(std::string_view value);
  static bool IsOther(std::string_view value);

 private:
  struct RowSpan {
    ChunkedText::Place place;
    std::uint32_t size;
    std::int32_t next;  // the code's next row, -1 for none
  };
  // A product by its code without trailing blanks.
  struct Entry {
    ChunkedText::Place code;
    std::uint32_t code_size;
    std::uint32_t hash;
    Product product;
  };
  // The entry of `code` (trailing blanks already gone), added when absent.
  Product& Insert(std::string_view code);
  // The slot of `code`: its entry's, or the empty one where it would go.
  std::uint32_t& Slot(std::string_view code, std::uint32_t hash);
  void Grow();

  std::vector<Entry> entries_;
  // Open addressing by hash, linear probing: an entry's index plus one, 0 for
  // an empty slot; a power of two at least twice the entries. A node-based
  // map chases a pointer per lookup, one cache miss each on 100,000
  // products.
  std::vector<std::uint32_t> slots_;
  ChunkedText codes_;
  std::vector<RowSpan> rows_;
  // The rows' values: copying megabytes at every growth costs more than the
  // scan.
  ChunkedText values_;
};

}  // namespace quilvane::exchange
