#include <algorithm>
#include <array>

#include "sync/status_page.h"
#include "sync/status_text.h"

namespace quilvane::sync {

using status_text::BehindText;
using status_text::BranchName;
using status_text::DayText;
using status_text::kMaxError;
using status_text::kMaxLabel;
using status_text::kMaxVersion;
using status_text::Label;
using status_text::LightName;
using status_text::MomentText;
using status_text::NoCodeText;
using status_text::OutcomeText;
using status_text::Readable;
using status_text::StaleText;
using status_text::UnreadText;

std::string StatusTable(const FleetStatus& status) {
  const std::vector<StatusRow> rows = RankBranches(status);
  std::string out = SummaryLine(rows) + ". Último arquivo da matriz: " +
                    (status.published_day ? DayText(*status.published_day) : "desconhecido") +
                    ".\n";
  // Facts of the head office and of the reading, once, above the branches.
  for (const std::string& fact :
       {NoCodeText(rows, status.published_day), UnreadText(status.unread_receipts)}) {
    if (!fact.empty()) out += fact + ".\n";
  }
  out += "\n";
  constexpr size_t kColumns = 9;
  using Line = std::array<std::string, kColumns>;
  std::vector<Line> lines;
  lines.push_back({"Cor", "Filial", "Nome", "Atraso", "Último resultado", "Último recibo",
                   "Comandos", "Sem produto", "Versão"});
  std::vector<std::vector<std::string>> notes;  // printed under their row
  for (const StatusRow& row : rows) {
    const BranchReport& report = *row.report;
    const Receipt* r = Readable(report) ? &*report.parsed.receipt : nullptr;
    Line line{LightName(row.light),
              Label(row),
              BranchName(row),
              BehindText(row),
              OutcomeText(row),
              "-",
              "-",
              "-",
              "-"};
    std::vector<std::string> under;
    if (!r) {
      under.push_back("recibo ilegível (" + DisplayText(report.file_name, kMaxLabel) +
                      "): " + DisplayText(report.parsed.error, kMaxError));
    } else if (row.foreign) {
      under.push_back("o recibo " + DisplayText(report.file_name, kMaxLabel) + " diz ser de " +
                      DisplayText(r->cgc, kMaxLabel) + " e não conta como dela");
    } else {
      line[5] = MomentText(r->start).second;
      line[6] = std::to_string(r->statements_applied);
      line[7] = std::to_string(r->unmatched_count);
      line[8] = DisplayText(r->version, kMaxVersion);
      if (!r->failure.empty()) under.push_back(DisplayText(r->failure.front(), 100));
      if (auto stale = StaleText(*r)) under.push_back(*stale);
    }
    lines.push_back(std::move(line));
    notes.push_back(std::move(under));
  }
  // The name column only where some branch sends one.
  const bool named = std::any_of(lines.begin() + 1, lines.end(),
                                 [](const Line& line) { return !line[2].empty(); });
  std::array<size_t, kColumns> width{};
  for (const Line& line : lines) {
    for (size_t c = 0; c < kColumns; ++c) width[c] = std::max(width[c], CharCount(line[c]));
  }
  for (size_t i = 0; i < lines.size(); ++i) {
    std::string text;
    for (size_t c = 0; c < kColumns; ++c) {
      if (c == 2 && !named) continue;
      const std::string pad(width[c] - CharCount(lines[i][c]), ' ');
      const bool number = (c == 6 || c == 7) && i > 0;
      if (c > 0) text += "  ";
      text += number ? pad + lines[i][c] : lines[i][c] + (c + 1 < kColumns ? pad : "");
    }
    out += text + "\n";
    if (i > 0) {
      for (const std::string& note : notes[i - 1]) out += "    " + note + "\n";
    }
  }
  return out;
}

}  // namespace quilvane::sync
