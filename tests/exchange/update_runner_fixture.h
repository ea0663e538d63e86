#pragma once

// The fixture of the UpdateRunner tests on the real Firebird server (label
// "integration"): statement lines, products, and the literal path to compare
// the prepared one with.

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "exchange/format.h"
#include "exchange/import.h"
#include "exchange/update_runner.h"
#include "platform/codepage.h"
#include "platform/env.h"
#include "tests/db/site_components.h"
#include "tests/db/tcp_proxy.h"
#include "tests/support/firebird_db.h"

namespace quilvane::exchange::testing_support {

using Overrides = std::map<std::string, std::string>;  // column -> literal (UTF-8)

// A statement line (Windows-1252) for `code`: every column set to a plain
// value unless `overrides` gives its literal.
inline std::string Line(const std::string& code, const Overrides& overrides, bool popular = true) {
  std::string s;
  for (std::size_t i = 0; i < kStatementPartCount; ++i) {
    if (i == kPopularPart && !popular) continue;
    const std::string column(kStatementParts[i].column);
    std::string literal;
    if (auto o = overrides.find(column); o != overrides.end()) {
      literal = o->second;
    } else if (column == "CODIGO") {
      literal = "'" + code + "'";
    } else {
      switch (kStatementParts[i].kind) {
        case LiteralKind::kValor2:
          literal = "1.25";
          break;
        case LiteralKind::kValor3:
          literal = "2.000";
          break;
        case LiteralKind::kData:
          literal = "'10/31/2023'";
          break;
        case LiteralKind::kTexto:
          literal = "'N'";
          break;
      }
    }
    s += kStatementParts[i].fixed_text;
    s += literal;
  }
  return platform::Utf8ToAnsi(s);
}

class UpdateRunnerDbTest : public ::testing::Test {
 protected:
  void SetUp() override {
    QUILVANE_REQUIRE_FIREBIRD(server);
    db_ = std::make_unique<testing::FirebirdDb>(server);
    c_ = std::make_unique<testing::SiteComponents>(platform::Env::Default());
    proxy_ = std::make_unique<testing::TcpProxy>(0, server.host, std::stoi(server.port));
    c_->Connvelstrand.SetParam("Port", std::to_string(proxy_->port()));
    c_->Connvelstrand.SetParam("User_Name", "USUARIO");
    c_->Connvelstrand.SetParam("Server", proxy_->host());
    c_->Connvelstrand.SetParam("Database", db_->path());
    c_->Connvelstrand.SetParam("Password", "mirvex");
    c_->Connvelstrand.Connect();
  }
  void TearDown() override {
    if (c_) c_->Connvelstrand.Disconnect();
    c_.reset();
    proxy_.reset();
    db_.reset();
  }

  void Insert(const std::vector<std::string>& codes) {
    std::string sql;
    for (const std::string& code : codes) {
      sql += "INSERT INTO PRODUTOS (CODIGO) VALUES ('" + code + "');\n";
    }
    db_->Execute(sql);
  }

  // Each line executed as written, one by one, committed at the end.
  void RunAsWritten(const std::vector<std::string>& lines) {
    c_->TRQExec.StartTransaction();
    for (const std::string& line : lines) c_->QExec.ExecSQL(platform::AnsiToUtf8(line));
    c_->TRQExec.Commit();
  }

  // The import of `file` on the connection, as a site runs it.
  ImportResult Import(const std::string& file, const ImportOptions& options) {
    return ImportPrices(c_->Connvelstrand, c_->QExec, c_->TRQExec, file, 0,
                        platform::Env::Default(), options);
  }

  UnmatchedCodes RunPrepared(const std::vector<std::string>& lines, int* prepared = nullptr) {
    UpdateRunner runner(c_->Connvelstrand, c_->TRQExec, c_->QExec, {});
    for (const std::string& line : lines) runner.Add(line);
    runner.Finish();
    EXPECT_EQ(runner.executed(), static_cast<int>(lines.size()));
    if (prepared) *prepared = runner.prepared();
    return runner.unmatched();
  }

  // The codes of the "P…" products whose synchronised columns differ in any
  // bit from those of the matching "W…" product, joined by ",".
  std::string Differences() {
    std::string differs;
    for (const StatementPart& part : kStatementParts) {
      if (part.column == "CODIGO") continue;
      if (!differs.empty()) differs += " OR ";
      differs +=
          "P." + std::string(part.column) + " IS DISTINCT FROM W." + std::string(part.column);
    }
    return db_->Scalar(
        "SELECT CAST(COALESCE(LIST(P.CODIGO), '') AS VARCHAR(8000)) FROM PRODUTOS P JOIN PRODUTOS "
        "W ON W.CODIGO = 'W' || "
        "SUBSTRING(P.CODIGO FROM 2) WHERE P.CODIGO STARTING WITH 'P' AND (" +
        differs + ")");
  }

  // Runs `cases` both ways on fresh products; returns the statements that
  // went through prepared blocks.
  int RunBothWays(const std::vector<Overrides>& cases) {
    std::vector<std::string> prepared, as_written, rows;
    for (std::size_t i = 0; i < cases.size(); ++i) {
      prepared.push_back(Line("P" + std::to_string(i), cases[i]));
      as_written.push_back(Line("W" + std::to_string(i), cases[i]));
      rows.push_back("P" + std::to_string(i));
      rows.push_back("W" + std::to_string(i));
    }
    Insert(rows);
    int through_blocks = 0;
    EXPECT_EQ(RunPrepared(prepared, &through_blocks).count, 0);
    RunAsWritten(as_written);
    return through_blocks;
  }

  std::unique_ptr<testing::FirebirdDb> db_;
  std::unique_ptr<testing::TcpProxy> proxy_;  // between the client and the server
  std::unique_ptr<testing::SiteComponents> c_;
};

}  // namespace quilvane::exchange::testing_support
