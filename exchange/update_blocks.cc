#include <algorithm>
#include <string>
#include <vector>

#include "exchange/exact_number.h"
#include "exchange/format.h"
#include "exchange/update_runner.h"
#include "exchange/update_runner_internal.h"

// The texts of the blocks an UpdateRunner prepares, and what it knows of
// PRODUTOS to write them.

namespace quilvane::exchange {
namespace {

// With only_changed each statement also carries its comparison and the
// variables that keep its row (about 6 KB a statement in all): at most 10
// a block, fewer when the columns' kinds make the text longer.
constexpr std::size_t kComparingBlockStatements = 10;
static_assert(kBatchSize % kComparingBlockStatements == 0, "a block never spans a commit");
// The server's limit on the text of one statement.
constexpr std::size_t kMaxBlockText = 65535;

}  // namespace

// EXECUTE BLOCK (A0_0 TYPE OF COLUMN PRODUTOS.PRECOCUSTO = ?, ...)
// RETURNS (M VARCHAR(n)) AS BEGIN M = '';
// UPDATE PRODUTOS SET PRECOCUSTO = :A0_0, ... WHERE CODIGO = :A0_24;
// M = M || IIF(ROW_COUNT = 0, '1', '0'); ... SUSPEND; END
// M tells, statement by statement, which ones matched no row ('1').
std::string UpdateRunner::BlockText(bool popular, std::size_t statements) const {
  std::string text = BlockParameters(popular, statements);
  text += ")\nRETURNS (M VARCHAR(" + std::to_string(statements) + "))\nAS BEGIN\nM = '';\n";
  for (std::size_t s = 0; s < statements; ++s) {
    text += UpdateText(popular, s);
    text += ";\nM = M || IIF(ROW_COUNT = 0, '1', '0');\n";
  }
  text += "SUSPEND;\nEND";
  return text;
}

// As BlockText, but each statement first reads its product's row into
// variables of its own (V<s>_<part>): the server compares the assigned
// columns (D<s>, one '1' or '0' each) and only a row that differs in one of
// them is updated. M: '0' updated, '1' no such row, '2' already held every
// value. A row left alone costs one index lookup and no record version;
// only a row that differs pays for the update. Only once every update is done,
// a row per updated statement returns its values before (B...) and after
// (N...): a block that fails before its first SUSPEND leaves no change, as
// a failing statement of a selectable block keeps the work done before the
// last SUSPEND.
std::string UpdateRunner::ComparingBlockText(bool popular, std::size_t statements) const {
  std::vector<std::size_t> assigned;
  for (std::size_t part = 0; part + 1 < kStatementPartCount; ++part) {
    if (popular || part != kPopularPart) assigned.push_back(part);
  }
  const auto column = [](std::size_t part) { return std::string(kStatementParts[part].column); };
  const std::string d_type = "VARCHAR(" + std::to_string(assigned.size()) + ")";
  std::string text = BlockParameters(popular, statements);
  text += ")\nRETURNS (M VARCHAR(" + std::to_string(statements) + "), S SMALLINT, D " + d_type;
  for (const char* prefix : {"B", "N"}) {
    for (std::size_t part : assigned) {
      text += ",\n" + (prefix + std::to_string(part)) + " TYPE OF COLUMN PRODUTOS." + column(part);
    }
  }
  text += ")\nAS\n";
  for (std::size_t s = 0; s < statements; ++s) {
    const std::string n = std::to_string(s);
    text += "DECLARE F" + n + " SMALLINT = 0;\nDECLARE D" + n + " " + d_type + ";\n";
    for (std::size_t part : assigned) {
      text += "DECLARE V" + n + "_" + std::to_string(part) + " TYPE OF COLUMN PRODUTOS." +
              column(part) + ";\n";
    }
  }
  text += "BEGIN\nM = '';\n";
  std::string results;
  std::string columns;
  for (std::size_t part : assigned) columns += (columns.empty() ? "" : ", ") + column(part);
  const std::size_t code_part = kStatementPartCount - 1;
  for (std::size_t s = 0; s < statements; ++s) {
    const std::string n = std::to_string(s);
    const auto param = [s](std::size_t part) { return ":" + ParamName(s, part); };
    std::string into, differs, result;
    for (std::size_t part : assigned) {
      const std::string v = "V" + n + "_" + std::to_string(part);
      into += (into.empty() ? ":" : ", :") + v;
      if (!differs.empty()) differs += " || ";
      differs += "IIF(" + v + " IS DISTINCT FROM " + param(part);
      // Text equality ignores trailing blanks; the stored bytes do not.
      const auto kind = column_kinds_.find(column(part));
      if (kind != column_kinds_.end() && kind->second.kind == ColumnType::Kind::kText) {
        differs += " OR OCTET_LENGTH(" + v + ") IS DISTINCT FROM OCTET_LENGTH(" + param(part) + ")";
      }
      differs += ", '1', '0')";
      result += "B" + std::to_string(part) + " = " + v + "; N" + std::to_string(part) + " = " +
                param(part) + "; ";
    }
    const std::string f = "F" + n;
    text += "FOR SELECT " + columns + " FROM PRODUTOS WHERE CODIGO = " + param(code_part) +
            " INTO " + into + " DO BEGIN\nD" + n + " = " + differs + ";\nIF (POSITION('1' IN D" +
            n + ") > 0) THEN BEGIN " + f + " = 2; LEAVE; END " + f + " = 1;\nEND\nIF (" + f +
            " = 2) THEN BEGIN\n" + UpdateText(popular, s) + ";\nIF (ROW_COUNT = 0) THEN " + f +
            " = 1;\nEND\nM = M || IIF(" + f + " = 0, '1', IIF(" + f + " = 1, '2', '0'));\n";
    results +=
        "IF (" + f + " = 2) THEN BEGIN S = " + n + "; D = D" + n + "; " + result + "SUSPEND; END\n";
  }
  text += results + "S = -1;\nSUSPEND;\nEND";
  return text;
}

std::size_t UpdateRunner::BlockLimit(bool popular, bool comparing) {
  if (!comparing) return internal::kBlockStatements;
  std::size_t& limit = comparing_limit_[popular ? 1 : 0];
  if (limit == 0) {
    limit = kComparingBlockStatements;
    // 10, 5, 2, 1: each divides the batch, so no block spans a commit.
    while (limit > 1 && ComparingBlockText(popular, limit).size() > kMaxBlockText) limit /= 2;
  }
  return limit;
}

// Blocks come in few sizes (powers of two up to the limit, and the limit),
// a run short of one padded with statements that change nothing: the server
// prepares each size once, and preparing a large block costs it more than
// running one. Without this, every length of run between two unchanged
// products (SomenteAlterados) was a block prepared anew.
std::size_t UpdateRunner::BlockSize(std::size_t statements, std::size_t limit) {
  std::size_t size = 1;
  while (size < statements) size *= 2;
  return std::min(size, limit);
}

std::string UpdateRunner::ParamName(std::size_t statement, std::size_t part) {
  return "A" + std::to_string(statement) + "_" + std::to_string(part);
}

// "EXECUTE BLOCK (" and the parameters, typed as the columns they set.
std::string UpdateRunner::BlockParameters(bool popular, std::size_t statements) {
  std::string text = "EXECUTE BLOCK (";
  for (std::size_t s = 0; s < statements; ++s) {
    for (std::size_t part = 0; part < kStatementPartCount; ++part) {
      if (!popular && part == kPopularPart) continue;
      if (text.back() != '(') text += ",\n";
      text += ParamName(s, part) + " TYPE OF COLUMN PRODUTOS." +
              std::string(kStatementParts[part].column) + " = ?";
    }
  }
  return text;
}

// Statement `s`'s UPDATE on its parameters.
std::string UpdateRunner::UpdateText(bool popular, std::size_t s) {
  std::string text;
  for (std::size_t part = 0; part < kStatementPartCount; ++part) {
    if (!popular && part == kPopularPart) continue;
    text += kStatementParts[part].fixed_text;
    text += ":" + ParamName(s, part);
  }
  return text;
}

bool UpdateRunner::Preparable(const StatementLiterals& literals) {
  for (std::size_t part = 0; part < kStatementPartCount; ++part) {
    const Literal& literal = literals[part];
    if (literal.kind == Literal::Kind::kText && literal.text.size() > internal::kMaxParamText)
      return false;
    if (literal.kind != Literal::Kind::kNumber) continue;
    // A number keeps its value only on its way into a numeric column (a text
    // column would get the parameter's own digits). Into a floating column
    // the server divides the scaled integer by a power of ten, one correctly
    // rounded step from the same exact value, as long as the integer itself
    // converts exactly.
    const std::optional<ColumnType>& type = part_types_[part];
    if (!type ||
        (type->kind != ColumnType::Kind::kExactNumber && type->kind != ColumnType::Kind::kFloat)) {
      return false;
    }
    const auto value = ExactTenThousandths(literal.text);
    if (!value) return false;
    constexpr std::int64_t kExactInDouble = std::int64_t{1} << 53;
    if (type->kind == ColumnType::Kind::kFloat &&
        (*value >= kExactInDouble || *value <= -kExactInDouble)) {
      return false;
    }
  }
  return true;
}

void UpdateRunner::LoadColumnKinds() {
  column_kinds_loaded_ = true;
  db::Query q(db_, trans_);
  q.SetSQL(
      "SELECT TRIM(RF.RDB$FIELD_NAME) AS NAME, F.RDB$FIELD_TYPE AS KIND,\n"
      "  COALESCE(F.RDB$FIELD_SCALE, 0) AS SCALE,\n"
      "  COALESCE(F.RDB$CHARACTER_LENGTH, F.RDB$FIELD_LENGTH, 0) AS CHARS\n"
      "FROM RDB$RELATION_FIELDS RF\n"
      "JOIN RDB$FIELDS F ON F.RDB$FIELD_NAME = RF.RDB$FIELD_SOURCE\n"
      "WHERE RF.RDB$RELATION_NAME = 'PRODUTOS'");
  q.Open();
  q.FetchAll();
  for (q.First(); !q.Eof(); q.Next()) {
    column_kinds_[q.FieldByName("NAME").AsString()] =
        ColumnTypeOf(static_cast<int>(q.FieldByName("KIND").AsInteger()),
                     static_cast<int>(q.FieldByName("SCALE").AsInteger()),
                     static_cast<int>(q.FieldByName("CHARS").AsInteger()));
  }
  q.Close();
  for (std::size_t part = 0; part < kStatementPartCount; ++part) {
    const auto type = column_kinds_.find(kStatementParts[part].column);
    if (type != column_kinds_.end()) part_types_[part] = type->second;
  }
  if (!options_.only_changed) return;
  // Any active trigger: one that fires on update could change other
  // products, so rows read ahead of a run stop being trusted once one of
  // its statements has updated a row.
  const ProductScan::Fitness fitness = ProductScan::Check(db_, trans_);
  has_triggers_ = fitness.has_triggers;
  binary_codes_ = fitness.binary_codes;
}

// SELECT 0, RDB$DB_KEY, PRECOCUSTO, ... FROM PRODUTOS WHERE CODIGO = ?
// UNION ALL SELECT 1, ...: every row of each statement's code, tagged with
// the statement, each through the index on CODIGO.
std::string UpdateRunner::ReadText(bool popular, std::size_t statements) {
  std::string columns;
  for (std::size_t part = 0; part + 1 < kStatementPartCount; ++part) {
    if (popular || part != kPopularPart) {
      columns += ", " + std::string(kStatementParts[part].column);
    }
  }
  std::string text;
  for (std::size_t s = 0; s < statements; ++s) {
    text += s == 0 ? "SELECT " : "\nUNION ALL SELECT ";
    text += std::to_string(s) + ", RDB$DB_KEY" + columns + " FROM PRODUTOS WHERE CODIGO = ?";
  }
  return text;
}

}  // namespace quilvane::exchange
