#include "exchange/update_runner.h"

#include <charconv>
#include <optional>
#include <span>
#include <vector>

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
// With only_changed each statement also carries its comparison and the
// variables that keep its row (about 6 KB a statement in all): at most 10
// a block, fewer when the columns' kinds make the text longer.
constexpr std::size_t kComparingBlockStatements = 10;
static_assert(kBatchSize % kComparingBlockStatements == 0, "a block never spans a commit");
// The server's limit on the text of one statement.
constexpr std::size_t kMaxBlockText = 65535;

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
    Commit();
    contador_comando_ = 0;
  }
}

void UpdateRunner::Commit() {
  trans_.Commit();
  committed_changes_.insert(committed_changes_.end(), std::make_move_iterator(changes_.begin()),
                            std::make_move_iterator(changes_.end()));
  changes_.clear();
}

void UpdateRunner::CommitRanBeforeRefusal() {
  pending_.clear();
  if (!trans_.InTransaction()) return;
  Commit();
  contador_comando_ = 0;
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
      const std::size_t limit = BlockLimit(pending_[i].popular);
      while (j < pending_.size() && j - i < limit && preparable[j] &&
             pending_[j].popular == pending_[i].popular) {
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
    Commit();
    contador_comando_ = 0;
  }
}

void UpdateRunner::RunAsText(const Pending& p) {
  // The comparison lives in the blocks: here the row is read before and
  // after, only to list what the statement changed.
  std::optional<std::vector<std::string>> before;
  if (options_.only_changed) before = ReadAssigned(p);
  try {
    qexec_.ExecSQL(platform::AnsiToUtf8(p.ansi));
  } catch (const db::DbError&) {
    refused_line_ = p.line;
    refused_statement_ = p.ansi;
    throw;
  }
  const Literal code_literal = (*ParseExportedStatement(p.ansi)).back();
  const std::string_view code = code_literal.text;
  if (qexec_.RowsAffected() == 0) {
    NoteUnmatched(code_literal);
  } else {
    ++changed_;
    const auto after = before ? ReadAssigned(p) : std::nullopt;
    for (std::size_t part = 0; after && part < after->size(); ++part) {
      if ((*before)[part] != (*after)[part]) {
        NoteChange(code, part, std::move((*before)[part]), std::move((*after)[part]));
      }
    }
  }
  ++contador_comando_;
  ++executed_;
}

std::optional<std::vector<std::string>> UpdateRunner::ReadAssigned(const Pending& p) {
  const Literal code = (*ParseExportedStatement(p.ansi)).back();
  if (code.kind != Literal::Kind::kText || code.text.size() > kMaxParamText) return std::nullopt;
  std::unique_ptr<db::Query>& q = row_reads_[p.popular ? 1 : 0];
  if (!q) {
    std::string columns;
    for (std::size_t part = 0; part + 1 < kStatementPartCount; ++part) {
      if (part == kPopularPart && !p.popular) continue;
      columns += (columns.empty() ? "" : ", ") + std::string(kStatementParts[part].column);
    }
    q = std::make_unique<db::Query>(db_, trans_);
    q->SetSQL("SELECT " + columns + " FROM PRODUTOS WHERE CODIGO = ?");
  }
  std::vector<std::string> values(kStatementPartCount - 1);
  try {
    const db::Param code_param = ParamOf(code);
    q->Open(std::span(&code_param, 1));
    if (q->Eof()) {
      q->Close();
      return std::nullopt;
    }
    int field = 0;
    for (std::size_t part = 0; part < values.size(); ++part) {
      if (part == kPopularPart && !p.popular) continue;
      values[part] = q->Fields(field++).AsString();
    }
    q->Close();
  } catch (const db::DbError& e) {
    // A code the column cannot hold matches no row; only a lost
    // connection matters here.
    if (e.lost_connection() || !db_.Connected()) throw;
    q->Close();
    return std::nullopt;
  }
  return values;
}

void UpdateRunner::NoteChange(std::string_view ansi_code, std::size_t part, std::string before,
                              std::string after) {
  ++change_count_;
  if (committed_changes_.size() + changes_.size() >= options_.changes_kept) return;
  changes_.push_back({platform::AnsiToUtf8(Unquote(ansi_code)), kStatementParts[part].column,
                      std::move(before), std::move(after)});
}

bool UpdateRunner::RunBlock(std::size_t first, std::size_t last) {
  const bool popular = pending_[first].popular;
  std::unique_ptr<db::Query>& block = blocks_[BlockKey{popular, last - first}];
  if (!block) {
    block = std::make_unique<db::Query>(db_, trans_);
    block->SetSQL(options_.only_changed ? ComparingBlockText(popular, last - first)
                                        : BlockText(popular, last - first));
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
  // Comparing blocks: a row per product row that differs, with the statement
  // (S), which assigned columns differ (D), their values before (B...) and
  // after (N...); then the outcomes (M). Fields in RETURNS order.
  struct Differing {
    std::size_t statement;
    std::size_t part;
    std::string before, after;
  };
  std::vector<Differing> differing;
  try {
    block->Open(params);
    if (options_.only_changed) {
      std::vector<std::size_t> assigned;
      for (std::size_t part = 0; part + 1 < kStatementPartCount; ++part) {
        if (popular || part != kPopularPart) assigned.push_back(part);
      }
      for (; !block->Eof(); block->Next()) {
        const std::int64_t statement = block->Fields(1).AsInteger();
        if (statement < 0) break;
        const std::string d = block->Fields(2).AsString();
        for (std::size_t i = 0; i < assigned.size() && i < d.size(); ++i) {
          if (d[i] != '1') continue;
          const int before = 3 + static_cast<int>(i);
          const int after = before + static_cast<int>(assigned.size());
          differing.push_back({static_cast<std::size_t>(statement), assigned[i],
                               block->Fields(before).AsString(), block->Fields(after).AsString()});
        }
      }
    }
    if (!block->Eof()) misses = block->Fields(0).AsString();
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
  for (Differing& d : differing) {
    // A row the update then missed (deleted meanwhile) changed nothing.
    if (d.statement < codes.size() && d.statement < misses.size() && misses[d.statement] == '0') {
      NoteChange(codes[d.statement].text, d.part, std::move(d.before), std::move(d.after));
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
      if (kind != column_kinds_.end() && kind->second == ColumnKind::kText) {
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

std::size_t UpdateRunner::BlockLimit(bool popular) {
  if (!options_.only_changed) return kBlockStatements;
  std::size_t& limit = comparing_limit_[popular ? 1 : 0];
  if (limit == 0) {
    limit = kComparingBlockStatements;
    // 10, 5, 2, 1: each divides the batch, so no block spans a commit.
    while (limit > 1 && ComparingBlockText(popular, limit).size() > kMaxBlockText) limit /= 2;
  }
  return limit;
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
