#pragma once

#include <string>
#include <vector>

#include "tests/db/site_components.h"

namespace quilvane::exchange::testing {

// A fresh Firebird database on the test server (endpoint from the
// QUILVANE_FB_* variables that scripts/servers prints) with the ERP's
// PADRAO and PRODUTOS, dropped again at the end. The constructor records a
// test failure (never a silent skip) when the server is not configured; check
// ok() before using it.
class ProductDb {
 public:
  ProductDb();
  ~ProductDb();
  ProductDb(const ProductDb&) = delete;
  ProductDb& operator=(const ProductDb&) = delete;

  bool ok() const { return ok_; }
  const std::string& path() const { return path_; }

  // Runs an isql script (ISO-8859-1 bytes) on the database; false, with the
  // output recorded as a test failure, when isql reports an error.
  bool Run(const std::string& sql);

  // The first column of the first row of a SELECT as isql lists it, its
  // bytes as stored; "" when there is no row or isql fails (recorded as a
  // test failure).
  std::string Scalar(const std::string& select);

  // Sets the connection parameters of `c` for this database and connects.
  void Connect(quilvane::testing::SiteComponents& c) const;

  // Every PRODUTOS row, ordered by CODIGO, as the literals of its statement
  // (the values as the exchange carries them) joined by "|".
  std::vector<std::string> Dump();

 private:
  std::string Isql(const std::string& sql, bool& ok);

  bool ok_ = false;
  std::string host_, port_, password_, path_;
};

// The schema of PRODUTOS used by the tests: a mix of the column kinds the ERP
// uses for each literal kind.
extern const char kProdutosDdl[];

}  // namespace quilvane::exchange::testing
