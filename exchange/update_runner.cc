#include "exchange/update_runner.h"

#include <charconv>

#include "db/error.h"
#include "exchange/format.h"
#include "platform/codepage.h"

namespace quilvane::exchange {
namespace {

// Statements per prepared block: the block's text (about 1.7 KB a statement)
// stays under the server's 64 KiB statement limit, and a block never spans a
// commit.
constexpr std::size_t kBlockStatements = 25;
static_assert(kBatchSize % kBlockStatements == 0, "a block never spans a commit");
// With only_changed each statement carries its comparison (about 1.3 KB more).
constexpr std::size_t kComparingBlockStatements = 10;
static_assert(kBatchSize % kComparingBlockStatements == 0, "a block never spans a commit");

// Longest text a parameter carries; a longer literal runs as text.
constexpr std::size_t kMaxParamText = 32767;

// A literal the server reads as an exact numeric keeps its digits; past 18
// of them it is no longer one, so such a number runs as text.
constexpr std::size_t kMaxExactDigits = 18;

std::string Unquote(std::string_view doubled) {
  std::string out;
  out.reserve(doubled.size());
  for (std::size_t i = 0; i < doubled.size(); ++i) {
    out += doubled[i];
    if (doubled[i] == '\'') ++i;  // validated: every apostrophe is doubled
  }
  return out;
}

// A code literal that can name no product: NULL, or text of blanks only
// (CHAR comparison ignores trailing blanks).
bool NoCode(const Literal& code) {
  if (code.kind == Literal::Kind::kNull) return true;
  return code.kind == Literal::Kind::kText &&
         code.text.find_first_not_of(' ') == std::string_view::npos;
}

// The number as an exact count of ten-thousandths; nullopt when it has
// significant digits past the fourth decimal or does not fit.
std::optional<std::int64_t> ExactTenThousandths(std::string_view number) {
  const bool negative = !number.empty() && number.front() == '-';
  if (negative) number.remove_prefix(1);
  const std::size_t dot = number.find('.');
  std::string_view whole = number.substr(0, dot);
  std::string_view fraction = dot == std::string_view::npos ? "" : number.substr(dot + 1);
  if (whole.size() + fraction.size() > kMaxExactDigits) return std::nullopt;
  while (fraction.size() > 4 && fraction.back() == '0') fraction.remove_suffix(1);
  if (fraction.size() > 4) return std::nullopt;
  std::int64_t value = 0;
  for (char c : whole) {
    if (__builtin_mul_overflow(value, 10, &value) ||
        __builtin_add_overflow(value, c - '0', &value)) {
      return std::nullopt;
    }
  }
  for (std::size_t i = 0; i < 4; ++i) {
    const int digit = i < fraction.size() ? fraction[i] - '0' : 0;
    if (__builtin_mul_overflow(value, 10, &value) || __builtin_add_overflow(value, digit, &value)) {
      return std::nullopt;
    }
  }
  return negative ? -value : value;
}

db::Param ParamOf(const Literal& literal) {
  switch (literal.kind) {
    case Literal::Kind::kText:
      return platform::AnsiToUtf8(Unquote(literal.text));
    case Literal::Kind::kNumber:
      return db::Currency{*ExactTenThousandths(literal.text)};
    default:
      return std::monostate{};
  }
}

}  // namespace

struct UpdateRunner::Pending {
  std::string ansi;
  bool popular = false;
  int line = 0;
};

UpdateRunner::UpdateRunner(db::Database& db, db::Transaction& trans, db::Query& qexec,
                           Options options)
    : db_(db), trans_(trans), qexec_(qexec), options_(options) {}

UpdateRunner::~UpdateRunner() = default;

void UpdateRunner::Add(const std::string& ansi, int line) {
  const auto literals = ParseExportedStatement(ansi);
  if (!literals) throw platform::Error("Not a statement line: " + platform::AnsiToUtf8(ansi));
  if (NoCode(literals->back())) ++no_code_;
  pending_.push_back({ansi, (*literals)[kPopularPart].kind != Literal::Kind::kAbsent, line});
  if (pending_.size() == (options_.only_changed ? kComparingBlockStatements : kBlockStatements) ||
      (options_.commit_batches &&
       contador_comando_ + static_cast<int>(pending_.size()) == kBatchSize)) {
    Flush();
  }
}

void UpdateRunner::Finish() {
  Flush();
  if (options_.commit_batches && contador_comando_ > 0) {
    trans_.Commit();
    contador_comando_ = 0;
  }
}

void UpdateRunner::Flush() {
  if (pending_.empty()) return;
  if (contador_comando_ == 0 && !trans_.InTransaction()) trans_.StartTransaction();
  if (use_blocks_ && (pending_.size() > 1 || options_.only_changed) && !column_kinds_loaded_) {
    LoadColumnKinds();
  }

  std::vector<bool> preparable(pending_.size(), false);
  for (std::size_t i = 0; use_blocks_ && i < pending_.size(); ++i) {
    preparable[i] = Preparable(*ParseExportedStatement(pending_[i].ansi));
  }
  for (std::size_t i = 0; i < pending_.size();) {
    std::size_t j = i + 1;
    if (preparable[i]) {
      while (j < pending_.size() && preparable[j] && pending_[j].popular == pending_[i].popular) {
        ++j;
      }
    }
    // With only_changed a lone statement also goes through a block: the
    // comparison lives there.
    const bool block = use_blocks_ && (j - i > 1 || (options_.only_changed && preparable[i]));
    if (block && !RunBlock(i, j)) {
      // The rejected block left no change: its statements run one by one,
      // so those before a failing one apply and the error is its own. When
      // every one of them passed alone, the block failed for a reason of its
      // own (a server limit): the rest of the file runs as text.
      for (std::size_t k = i; k < j; ++k) RunAsText(pending_[k]);
      use_blocks_ = false;
    } else if (!block) {
      for (std::size_t k = i; k < j; ++k) RunAsText(pending_[k]);
    }
    i = j;
  }
  pending_.clear();
  if (options_.commit_batches && contador_comando_ >= kBatchSize) {
    trans_.Commit();
    contador_comando_ = 0;
  }
}

void UpdateRunner::RunAsText(const Pending& p) {
  try {
    qexec_.ExecSQL(platform::AnsiToUtf8(p.ansi));
  } catch (const db::DbError&) {
    refused_line_ = p.line;
    refused_statement_ = p.ansi;
    throw;
  }
  if (qexec_.RowsAffected() == 0) {
    NoteUnmatched((*ParseExportedStatement(p.ansi)).back());
  } else {
    ++changed_;
  }
  ++contador_comando_;
  ++executed_;
}

bool UpdateRunner::RunBlock(std::size_t first, std::size_t last) {
  const bool popular = pending_[first].popular;
  std::unique_ptr<db::Query>& block = blocks_[BlockKey{popular, last - first}];
  if (!block) {
    block = std::make_unique<db::Query>(db_, trans_);
    block->SetSQL(BlockText(popular, last - first));
  }
  std::vector<db::Param> params;
  params.reserve((last - first) * kStatementPartCount);
  std::vector<Literal> codes;
  for (std::size_t k = first; k < last; ++k) {
    const StatementLiterals literals = *ParseExportedStatement(pending_[k].ansi);
    for (const Literal& literal : literals) {
      if (literal.kind != Literal::Kind::kAbsent) params.push_back(ParamOf(literal));
    }
    codes.push_back(literals.back());  // views into pending_, which outlives them
  }
  std::string misses;
  try {
    block->Open(params);
    misses = block->FieldByName("M").AsString();
    block->Close();
  } catch (const db::DbError& e) {
    // Work of the transaction lost with the connection cannot be redone.
    if (e.lost_connection() || !db_.Connected()) throw;
    block->Close();
    return false;
  }
  for (std::size_t k = 0; k < codes.size(); ++k) {
    const char outcome = k < misses.size() ? misses[k] : '0';
    if (outcome == '1') {
      NoteUnmatched(codes[k]);
    } else if (outcome == '2') {
      ++unchanged_;
    } else {
      ++changed_;
    }
  }
  contador_comando_ += static_cast<int>(last - first);
  executed_ += static_cast<int>(last - first);
  prepared_ += static_cast<int>(last - first);
  return true;
}

// EXECUTE BLOCK (A0_0 TYPE OF COLUMN PRODUTOS.PRECOCUSTO = ?, ...)
// RETURNS (M VARCHAR(n)) AS BEGIN M = '';
// UPDATE PRODUTOS SET PRECOCUSTO = :A0_0, ... WHERE CODIGO = :A0_24;
// M = M || IIF(ROW_COUNT = 0, '1', '0'); ... SUSPEND; END
// M tells, statement by statement, which ones matched no row ('1'). With
// only_changed the UPDATE also requires a difference in an assigned column,
// and a statement whose row exists but matched none of them is '2'.
std::string UpdateRunner::BlockText(bool popular, std::size_t statements) const {
  const auto present = [popular](std::size_t part) { return popular || part != kPopularPart; };
  const auto name = [](std::size_t s, std::size_t part) {
    return "A" + std::to_string(s) + "_" + std::to_string(part);
  };
  std::string text = "EXECUTE BLOCK (";
  for (std::size_t s = 0; s < statements; ++s) {
    for (std::size_t part = 0; part < kStatementPartCount; ++part) {
      if (!present(part)) continue;
      if (text.back() != '(') text += ",\n";
      text += name(s, part) + " TYPE OF COLUMN PRODUTOS." +
              std::string(kStatementParts[part].column) + " = ?";
    }
  }
  text += ")\nRETURNS (M VARCHAR(" + std::to_string(statements) + "))\nAS BEGIN\nM = '';\n";
  const std::size_t code_part = kStatementPartCount - 1;
  for (std::size_t s = 0; s < statements; ++s) {
    for (std::size_t part = 0; part < kStatementPartCount; ++part) {
      if (!present(part)) continue;
      text += kStatementParts[part].fixed_text;
      text += ":" + name(s, part);
    }
    if (!options_.only_changed) {
      text += ";\nM = M || IIF(ROW_COUNT = 0, '1', '0');\n";
      continue;
    }
    std::string differs;
    for (std::size_t part = 0; part < code_part; ++part) {
      if (!present(part)) continue;
      const std::string column(kStatementParts[part].column);
      const std::string param = ":" + name(s, part);
      if (!differs.empty()) differs += " OR ";
      differs += column + " IS DISTINCT FROM " + param;
      // Text equality ignores trailing blanks; the stored bytes do not.
      const auto kind = column_kinds_.find(column);
      if (kind != column_kinds_.end() && kind->second == ColumnKind::kText) {
        differs += " OR OCTET_LENGTH(" + column + ") IS DISTINCT FROM OCTET_LENGTH(" + param + ")";
      }
    }
    text += " AND (" + differs + ");\nIF (ROW_COUNT > 0) THEN M = M || '0';\n" +
            "ELSE IF (EXISTS(SELECT 1 FROM PRODUTOS WHERE CODIGO = :" + name(s, code_part) +
            ")) THEN M = M || '2';\nELSE M = M || '1';\n";
  }
  text += "SUSPEND;\nEND";
  return text;
}

bool UpdateRunner::Preparable(const StatementLiterals& literals) {
  for (std::size_t part = 0; part < kStatementPartCount; ++part) {
    const Literal& literal = literals[part];
    if (literal.kind == Literal::Kind::kText && literal.text.size() > kMaxParamText) return false;
    if (literal.kind != Literal::Kind::kNumber) continue;
    // A number keeps its value only on its way into a numeric column (a text
    // column would get the parameter's own digits). Into a floating column
    // the server divides the scaled integer by a power of ten, one correctly
    // rounded step from the same exact value, as long as the integer itself
    // converts exactly.
    const auto kind = column_kinds_.find(kStatementParts[part].column);
    if (kind == column_kinds_.end() ||
        (kind->second != ColumnKind::kExactNumber && kind->second != ColumnKind::kFloat)) {
      return false;
    }
    const auto value = ExactTenThousandths(literal.text);
    if (!value) return false;
    constexpr std::int64_t kExactInDouble = std::int64_t{1} << 53;
    if (kind->second == ColumnKind::kFloat &&
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
      "SELECT TRIM(RF.RDB$FIELD_NAME) AS NAME, F.RDB$FIELD_TYPE AS KIND\n"
      "FROM RDB$RELATION_FIELDS RF\n"
      "JOIN RDB$FIELDS F ON F.RDB$FIELD_NAME = RF.RDB$FIELD_SOURCE\n"
      "WHERE RF.RDB$RELATION_NAME = 'PRODUTOS'");
  q.Open();
  q.FetchAll();
  for (q.First(); !q.Eof(); q.Next()) {
    // SMALLINT, INTEGER and BIGINT (also as NUMERIC and DECIMAL); FLOAT and
    // DOUBLE PRECISION.
    const std::int64_t type = q.FieldByName("KIND").AsInteger();
    column_kinds_[q.FieldByName("NAME").AsString()] =
        type == 7 || type == 8 || type == 16 ? ColumnKind::kExactNumber
        : type == 10 || type == 27           ? ColumnKind::kFloat
        : type == 14 || type == 37           ? ColumnKind::kText  // CHAR, VARCHAR
                                             : ColumnKind::kOther;
  }
  q.Close();
}

void UpdateRunner::NoteUnmatched(const Literal& code) {
  if (NoCode(code)) return;  // counted apart in Add
  ++unmatched_.count;
  if (unmatched_.codes.size() < UnmatchedCodes::kKept) {
    unmatched_.codes.push_back(platform::AnsiToUtf8(Unquote(code.text)));
  }
}

}  // namespace quilvane::exchange
