// UpdateRunner's comparison on the client: with only_changed, the rows of a
// run of statements are read in one query and compared here, so a product
// that already holds its values costs one index lookup in a shared read, not
// a statement of its own.

#include <algorithm>
#include <array>
#include <future>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "db/error.h"
#include "exchange/format.h"
#include "exchange/stored_compare.h"
#include "exchange/update_runner.h"
#include "exchange/update_runner_internal.h"

namespace quilvane::exchange {

// What the read found for one statement.
struct UpdateRunner::ReadRow {
  bool found = false;    // a row holds its code
  bool differs = false;  // a row differs in a column whose value is certain
  bool ask = false;      // a column's value is for the server to tell
  struct Difference {
    std::size_t part;
    std::string before, after;
  };
  std::vector<Difference> differences;  // of the first row that differs
};

std::vector<UpdateRunner::ConvertedValues> UpdateRunner::ConvertPending() {
  std::vector<ConvertedValues> converted(pending_.size());
  for (std::size_t s = 0; s < pending_.size(); ++s) Convert(pending_[s].literals, converted[s]);
  return converted;
}

void UpdateRunner::Convert(const StatementLiterals& literals, ConvertedValues& out) const {
  for (std::size_t part = 0; part + 1 < kStatementPartCount; ++part) {
    out[part].reset();
    if (literals[part].kind == Literal::Kind::kAbsent) continue;
    if (const std::optional<ColumnType>& type = part_types_[part]) {
      out[part] = ConvertLiteral(literals[part], *type);
    }
  }
}

std::vector<UpdateRunner::ReadRow> UpdateRunner::ScannedPendingRows(bool popular) {
  const platform::FormatSettings& fs = regional_;
  std::vector<ReadRow> rows(pending_.size());
  // One statement's values, converted and serialized as the scan keeps them.
  ConvertedValues converted;
  std::array<std::string, kStatementPartCount> encoded;
  for (std::size_t s = 0; s < pending_.size(); ++s) {
    ReadRow& row = rows[s];
    ProductScan::Product* product = scan_->Find(Unquote(pending_[s].literals.back().text));
    if (!product) continue;
    row.found = true;
    if (product->touched) {
      // Its row changed since the scan: the server compares it.
      row.ask = true;
      continue;
    }
    Convert(pending_[s].literals, converted);
    for (std::size_t part = 0; part < kStatementPartCount; ++part) {
      encoded[part].clear();
      if (converted[part]) ProductScan::Encode(encoded[part], *converted[part]);
    }
    scan_->ForEachRow(*product, [&](std::string_view values) {
      const bool listed = row.differs;
      for (std::size_t part = 0; part + 1 < kStatementPartCount; ++part) {
        const std::string_view stored = ProductScan::TakeValue(values);
        if (!popular && part == kPopularPart) continue;
        if (!converted[part] || ProductScan::IsOther(stored)) {
          row.ask = true;
        } else if (stored != encoded[part]) {
          row.differs = true;
          if (!listed) {
            row.differences.push_back({part, db::StoredValueText(ProductScan::Decode(stored), fs),
                                       db::StoredValueText(*converted[part], fs)});
          }
        }
      }
    });
    if (row.differs || row.ask) product->touched = true;
  }
  return rows;
}

std::optional<std::vector<UpdateRunner::ReadRow>> UpdateRunner::ReadPendingRows(bool popular) {
  const std::size_t n = pending_.size();
  std::vector<db::Param> params;
  for (std::size_t s = 0; s < n; ++s) {
    params.push_back(internal::ParamOf(pending_[s].literals.back()));
  }
  const auto converted = ConvertPending();
  std::unique_ptr<db::Query>& q = reads_[{popular, n}];
  if (!q) {
    q = std::make_unique<db::Query>(db_, trans_);
    q->SetSQL(ReadText(popular, n));
  }
  const platform::FormatSettings& fs = regional_;
  std::vector<ReadRow> rows(n);
  std::set<std::string> keys;
  try {
    q->Open(params);
    for (; !q->Eof(); q->Next()) {
      const std::int64_t s = q->Fields(0).AsInteger();
      // Two statements on one row: each must see the other's update, so the
      // run goes statement by statement.
      if (s < 0 || static_cast<std::size_t>(s) >= n ||
          !keys.insert(q->Fields(1).Stored().bytes).second) {
        q->Close();
        return std::nullopt;
      }
      ReadRow& row = rows[static_cast<std::size_t>(s)];
      row.found = true;
      const bool listed = row.differs;
      int field = 2;
      for (std::size_t part = 0; part + 1 < kStatementPartCount; ++part) {
        if (!popular && part == kPopularPart) continue;
        const db::Field f = q->Fields(field++);
        const std::optional<db::StoredValue>& value = converted[static_cast<std::size_t>(s)][part];
        if (!value) {
          row.ask = true;
        } else if (!Holds(f.Stored(), *value)) {
          row.differs = true;
          if (!listed) {
            row.differences.push_back({part, f.AsString(), db::StoredValueText(*value, fs)});
          }
        }
      }
    }
    q->Close();
  } catch (const db::DbError& e) {
    // Work of the transaction lost with the connection cannot be redone.
    if (e.lost_connection() || !db_.Connected()) throw;
    q->Close();
    return std::nullopt;
  }
  return rows;
}

void UpdateRunner::MarkStale(const Literal& code) {
  if (code.kind != Literal::Kind::kText) return;
  if (scan_) {
    if (ProductScan::Product* product = scan_->Find(Unquote(code.text))) product->touched = true;
  } else if (scan_loading_.valid()) {
    stale_codes_.push_back(Unquote(code.text));
  }
}

void UpdateRunner::StartScan() {
  if (!options_.only_changed || !options_.scan_products || scan_tried_) return;
  scan_tried_ = true;
  scan_loading_ = ProductScan::LoadAside(db_, scan_stop_.get_token());
}

void UpdateRunner::TakeScan() {
  if (!scan_loading_.valid()) return;
  scan_ = scan_loading_.get();
  for (const std::string& code : stale_codes_) {
    if (ProductScan::Product* product = scan_ ? scan_->Find(code) : nullptr) {
      product->touched = true;
    }
  }
  stale_codes_.clear();
  if (scan_) run_size_ = internal::kScannedRunStatements;
}

void UpdateRunner::DropScan() {
  scan_tried_ = true;
  if (!scan_loading_.valid()) return;
  scan_stop_.request_stop();
  scan_loading_ = {};  // waits for its thread
  stale_codes_.clear();
}

bool UpdateRunner::RunReadAhead() {
  if (!use_blocks_) return false;
  const bool popular = pending_.front().popular;
  for (const Pending& p : pending_) {
    const Literal& code = p.literals.back();
    if (p.popular != popular || !Preparable(p.literals) || code.kind != Literal::Kind::kText ||
        code.text.size() > internal::kMaxParamText) {
      return false;
    }
  }
  if (has_triggers_ || !binary_codes_) {
    DropScan();
  } else {
    StartScan();
    TakeScan();
  }
  std::optional<std::vector<ReadRow>> rows =
      scan_ ? ScannedPendingRows(popular) : ReadPendingRows(popular);
  if (!rows) return false;

  const std::size_t n = pending_.size();
  const auto code_of = [this](std::size_t s) -> const Literal& {
    return pending_[s].literals.back();
  };
  // A statement the read settles: its code names no row, or its rows hold
  // every value.
  const auto settled = [&rows](std::size_t s) {
    const ReadRow& r = (*rows)[s];
    return !r.found || (!r.differs && !r.ask);
  };
  const auto settle = [&](std::size_t s) {
    if ((*rows)[s].found) {
      ++unchanged_;
    } else {
      NoteUnmatched(code_of(s));
    }
    // Nothing ran: a batch counts only the statements the server runs, so
    // a day of few changes costs few commits.
    ++executed_;
    ++prepared_;
  };
  if (has_triggers_) {
    // An update may fire a trigger that changes another product: what was
    // read holds only up to the run's first update; from there the server
    // compares each row just before its statement.
    std::size_t s = 0;
    for (; s < n && settled(s); ++s) settle(s);
    if (s < n) RunInBatches(s, n);
    return true;
  }
  // No trigger: a statement changes its own rows and nothing else, and no
  // two statements of the run share a row, so each row read stays as read
  // until its own statement runs.
  for (std::size_t s = 0; s < n;) {
    if (settled(s)) {
      settle(s++);
      continue;
    }
    if ((*rows)[s].ask) {
      std::size_t e = s + 1;
      while (e < n && !settled(e) && (*rows)[e].ask) ++e;
      RunInBatches(s, e);
      s = e;
      continue;
    }
    // A block gathers the statements that differ from between those the
    // read found unchanged: those change nothing wherever they fall. A code
    // the read did not find ends it, so that unmatched codes are noted in
    // file order.
    std::size_t limit = internal::kBlockStatements;
    if (options_.commit_batches) {
      limit = std::min(limit, static_cast<std::size_t>(kBatchSize - contador_comando_));
    }
    std::vector<std::size_t> block;
    std::size_t e = s;
    for (; e < n && block.size() < limit; ++e) {
      const ReadRow& r = (*rows)[e];
      if (!r.found || r.ask) break;
      if (r.differs) block.push_back(e);
    }
    if (!trans_.InTransaction()) trans_.StartTransaction();
    const bool ran = RunBlock(block, /*comparing=*/false);
    // As RunPending does with a rejected block: one by one as text.
    if (!ran) use_blocks_ = false;
    // In file order, so that a statement refused as text leaves those after
    // it uncounted.
    for (std::size_t k = s, b = 0; k < e; ++k) {
      if (b == block.size() || block[b] != k) {
        settle(k);
      } else if (!ran) {
        RunAsText(pending_[k]);
      } else if (block_outcomes_[b] == '0') {
        for (ReadRow::Difference& d : (*rows)[k].differences) {
          NoteChange(code_of(k).text, d.part, std::move(d.before), std::move(d.after));
        }
      }
      if (b < block.size() && block[b] == k) ++b;
    }
    CommitFullBatch();
    s = e;
  }
  return true;
}

}  // namespace quilvane::exchange
