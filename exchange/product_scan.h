#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "db/database.h"
#include "db/stored_value.h"
#include "db/transaction.h"

namespace quilvane::exchange {

// Every product's values of the columns an exchange statement assigns, as
// one natural read of PRODUTOS found them, kept compactly by code: for
// SomenteAlterados, one scan of the table instead of a lookup per statement.
// Codes are matched by their bytes without trailing blanks, which is the
// server's equality only under a binary collation: the caller checks it.
class ProductScan {
 public:
  // The table read once in `trans`; nullptr when it cannot be read so (a
  // column missing): the caller then reads product by product. Throws
  // DbError when the connection is lost.
  static std::unique_ptr<ProductScan> Load(db::Database& db, db::Transaction& trans);

  // The rows whose code is `code`, each its values in statement-part order
  // (kStatementParts but the code); nullptr when no row has that code.
  struct Row {
    std::string values;  // serialized, see Values()
  };
  const std::vector<Row>* Find(std::string_view code) const;
  // The values of `row`, one per statement part but the code; kOther for a
  // kind the scan does not keep.
  static std::vector<db::StoredValue> Values(const Row& row);

  // A code whose row a statement of this import sent to the server: what
  // was scanned for it no longer holds.
  void Touch(std::string_view code);
  bool Touched(std::string_view code) const;

 private:
  // By code without its trailing blanks.
  std::unordered_map<std::string, std::vector<Row>> rows_;
  std::unordered_set<std::string> touched_;
};

}  // namespace quilvane::exchange
