#include "exchange/update_runner.h"

#include <algorithm>
#include <array>
#include <numeric>
#include <optional>
#include <span>
#include <vector>

#include "db/error.h"
#include "exchange/exact_number.h"
#include "exchange/format.h"
#include "exchange/update_runner_internal.h"
#include "platform/codepage.h"
#include "platform/text.h"

namespace quilvane::exchange {
namespace internal {

bool NoCode(const Literal& code) {
  if (code.kind == Literal::Kind::kNull) return true;
  return code.kind == Literal::Kind::kText &&
         code.text.find_first_not_of(' ') == std::string_view::npos;
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

}  // namespace internal

namespace {

using internal::kBlockStatements;
using internal::kReadStatements;
using internal::kScannedRunStatements;
using internal::NoCode;
using internal::ParamOf;

// A flush comes before pending_ would outgrow this: its lines never move, so
// the literals' views into them hold.
constexpr std::size_t kMostPending =
    std::max({kReadStatements, kScannedRunStatements, kBlockStatements});

}  // namespace

UpdateRunner::UpdateRunner(db::Database& db, db::Transaction& trans, db::Query& qexec,
                           Options options)
    : db_(db),
      trans_(trans),
      qexec_(qexec),
      options_(options),
      run_size_(kReadStatements),
      regional_(db.env().Regional()) {
  pending_.reserve(kMostPending);
}

UpdateRunner::~UpdateRunner() { scan_stop_.request_stop(); }

void UpdateRunner::Add(const std::string& ansi, int line) {
  if (pending_.size() == kMostPending) Flush();
  Pending& p = pending_.emplace_back(Pending{.ansi = ansi, .literals = {}, .line = line});
  const auto literals = ParseExportedStatement(p.ansi);
  if (!literals) {
    pending_.pop_back();
    throw platform::Error("Not a statement line: " + platform::AnsiToUtf8(ansi));
  }
  p.literals = *literals;
  p.popular = p.literals[kPopularPart].kind != Literal::Kind::kAbsent;
  if (NoCode(p.literals.back())) ++no_code_;
  // With only_changed a batch counts the statements sent to the server, and
  // the runs commit as they fill it.
  if (options_.only_changed
          ? pending_.size() == run_size_
          : pending_.size() == kBlockStatements ||
                (options_.commit_batches &&
                 contador_comando_ + static_cast<int>(pending_.size()) == kBatchSize)) {
    Flush();
  }
}

void UpdateRunner::Finish() {
  Flush();
  // With only_changed the transaction may have read without writing.
  if (options_.commit_batches && (contador_comando_ > 0 || trans_.InTransaction())) {
    Commit();
    contador_comando_ = 0;
  }
}

void UpdateRunner::Commit() {
  trans_.Commit();
  committed_change_count_ = changes_.size();
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
  if (!options_.only_changed) {
    RunPending(0, pending_.size());
  } else if (!RunReadAhead()) {
    // What the scan holds for these products stops being true.
    for (const Pending& p : pending_) MarkStale(p.literals.back());
    RunInBatches(0, pending_.size());
  }
  pending_.clear();
  CommitFullBatch();
}

void UpdateRunner::CommitFullBatch() {
  if (options_.commit_batches && contador_comando_ >= kBatchSize) {
    Commit();
    contador_comando_ = 0;
  }
}

void UpdateRunner::RunInBatches(std::size_t first, std::size_t last) {
  while (first < last) {
    std::size_t end = last;
    if (options_.commit_batches) {
      end = std::min(last, first + static_cast<std::size_t>(kBatchSize - contador_comando_));
    }
    if (!trans_.InTransaction()) trans_.StartTransaction();
    RunPending(first, end);
    first = end;
    CommitFullBatch();
  }
}

void UpdateRunner::RunPending(std::size_t first, std::size_t last) {
  const bool comparing = options_.only_changed;
  std::vector<bool> preparable(last, false);
  for (std::size_t i = first; use_blocks_ && i < last; ++i) {
    preparable[i] = Preparable(pending_[i].literals);
  }
  for (std::size_t i = first; i < last;) {
    std::size_t j = i + 1;
    if (preparable[i]) {
      const std::size_t limit = BlockLimit(pending_[i].popular, comparing);
      while (j < last && j - i < limit && preparable[j] &&
             pending_[j].popular == pending_[i].popular) {
        ++j;
      }
    }
    // With only_changed a lone statement also goes through a block: the
    // comparison lives there.
    const bool block = use_blocks_ && (j - i > 1 || (comparing && preparable[i]));
    std::array<std::size_t, kBlockStatements> statements;
    std::iota(statements.begin(), statements.begin() + (j - i), i);
    if (block && !RunBlock(std::span(statements.data(), j - i), comparing)) {
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
  const Literal& code_literal = p.literals.back();
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
  const Literal& code = p.literals.back();
  if (code.kind != Literal::Kind::kText || code.text.size() > internal::kMaxParamText) {
    return std::nullopt;
  }
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
  if (changes_.size() >= options_.changes_kept) return;
  const std::string code = Unquote(ansi_code);
  // Most codes are digits: no conversion to make.
  changes_.Add(platform::IsAscii(code) ? code : platform::AnsiToUtf8(code),
               kStatementParts[part].column, before, after);
}

bool UpdateRunner::RunBlock(std::span<const std::size_t> statements, bool comparing) {
  const bool popular = pending_[statements.front()].popular;
  const std::size_t size = BlockSize(statements.size(), BlockLimit(popular, comparing));
  std::unique_ptr<db::Query>& block = blocks_[BlockKey{popular, size, comparing}];
  if (!block) {
    block = std::make_unique<db::Query>(db_, trans_);
    block->SetSQL(comparing ? ComparingBlockText(popular, size) : BlockText(popular, size));
  }
  std::vector<db::Param> params;
  params.reserve(size * kStatementPartCount);
  std::vector<Literal> codes;
  for (std::size_t k : statements) {
    const StatementLiterals& literals = pending_[k].literals;
    for (const Literal& literal : literals) {
      if (literal.kind != Literal::Kind::kAbsent) params.push_back(ParamOf(literal));
    }
    codes.push_back(literals.back());  // views into pending_, which outlives them
  }
  // The padding: statements of NULL values whose NULL code matches no row.
  const std::size_t parts = popular ? kStatementPartCount : kStatementPartCount - 1;
  params.resize(size * parts);
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
    if (comparing) {
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
  const int count = static_cast<int>(statements.size());
  contador_comando_ += count;
  executed_ += count;
  prepared_ += count;
  block_outcomes_ = std::move(misses);
  block_outcomes_.resize(statements.size(), '0');
  return true;
}

void UpdateRunner::NoteUnmatched(const Literal& code) {
  if (NoCode(code)) return;  // counted apart in Add
  ++unmatched_.count;
  if (unmatched_.codes.size() < UnmatchedCodes::kKept) {
    unmatched_.codes.push_back(platform::AnsiToUtf8(Unquote(code.text)));
  }
}

}  // namespace quilvane::exchange
