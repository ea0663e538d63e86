#include <algorithm>
#include <cstdio>
#include <tuple>

#include "sync/receipt_format.h"
#include "sync/status_page.h"
#include "sync/status_text.h"

namespace quilvane::sync {
namespace status_text {
namespace {

std::string Digits(std::string_view text) {
  std::string digits;
  for (char c : text) {
    if (c >= '0' && c <= '9') digits += c;
  }
  return digits;
}

}  // namespace

std::string DayText(const Day& day) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%02d/%02d/%04d", day.day, day.month, day.year);
  return buf;
}

std::pair<Day, std::string> MomentText(const LocalMoment& moment) {
  const LocalParts at = LocalPartsOf(moment);
  char clock[8];
  std::snprintf(clock, sizeof clock, "%02d:%02d", at.hour, at.minute);
  return {at.day, DayText(at.day) + " " + clock};
}

std::string Label(const StatusRow& row) {
  const BranchReport& report = *row.report;
  if (Readable(report) && !row.foreign && !report.parsed.receipt->cgc.empty()) {
    return DisplayText(report.parsed.receipt->cgc, kMaxLabel);
  }
  const std::string name = DisplayText(report.file_name, kMaxLabel);
  return Readable(report) && !row.foreign ? "(sem CGC) " + name : name;
}

std::string BranchName(const StatusRow& row) {
  const Receipt* r = OwnReceipt(row);
  return r ? DisplayText(r->name, kMaxName) : "";
}

std::string NameOrLabel(const StatusRow& row) {
  std::string name = BranchName(row);
  return name.find_first_not_of(' ') == std::string::npos ? Label(row) : name;
}

std::string BehindText(const StatusRow& row) {
  if (!Readable(*row.report)) return "ilegível";
  if (row.foreign) return "recibo em nome de outra filial";
  if (!row.report->parsed.receipt->recorded_day) return "nunca aplicou";
  if (!row.days_behind) return "?";
  if (*row.days_behind == 0) return "em dia";
  if (*row.days_behind == 1) return "1 dia";
  return std::to_string(*row.days_behind) + " dias";
}

std::string OutcomeText(const StatusRow& row) {
  if (!Readable(*row.report)) return "-";
  return std::string(OutcomeShown(row.report->parsed.receipt->outcome));
}

const char* LightName(Light light) {
  switch (light) {
    case Light::kRed:
      return "vermelho";
    case Light::kAmber:
      return "âmbar";
    case Light::kGreen:
      return "verde";
  }
  return "vermelho";
}

std::string Plural(size_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

std::optional<std::string> StaleText(const Receipt& r) {
  if (!r.stale_file_day) return std::nullopt;
  const std::int64_t age = DaysBetween(*r.stale_file_day, MomentText(r.start).first);
  if (age < 2) return std::nullopt;  // a receipt's claim, checked against its own day
  return "Arquivo da matriz de " + DayText(*r.stale_file_day) + ": " + std::to_string(age) +
         " dias sem atualização";
}

std::string NoCodeText(const std::vector<StatusRow>& rows, const std::optional<Day>& published) {
  const auto no_code = HeadOfficeNoCode(rows);
  if (!no_code) return "";
  std::string text =
      Plural(static_cast<size_t>(no_code->count), "produto", "produtos") + " da matriz sem código";
  if (published != no_code->file_day) text += " no arquivo de " + DayText(no_code->file_day);
  return text;
}

std::string UnreadText(size_t unread) {
  if (unread == 0) return "";
  return Plural(unread, "recibo não lido", "recibos não lidos") +
         ": há mais recibos no servidor do que uma leitura aceita";
}

}  // namespace status_text

using status_text::Readable;

BranchReport ReadBranchReport(std::string file_name, std::string_view bytes) {
  return BranchReport{std::move(file_name), ParseReceipt(bytes)};
}

bool ClaimsOtherBranch(const BranchReport& report) {
  if (!Readable(report)) return false;
  const std::string cgc = status_text::Digits(report.parsed.receipt->cgc);
  if (cgc.empty()) return !report.file_name.starts_with("sem-cgc");
  return status_text::Digits(report.file_name) != cgc;
}

StatusRow RankBranch(const BranchReport& report, const std::optional<Day>& published_day) {
  StatusRow row;
  row.report = &report;
  row.foreign = ClaimsOtherBranch(report);
  if (!Readable(report) || row.foreign) return row;  // red, days unknown
  const Receipt& r = *report.parsed.receipt;
  if (!r.recorded_day) return row;  // never applied a file
  if (published_day)
    row.days_behind = std::max<std::int64_t>(0, DaysBetween(*r.recorded_day, *published_day));
  if (row.days_behind && *row.days_behind >= 2) {
    row.light = Light::kRed;
  } else if ((row.days_behind && *row.days_behind == 1) || r.outcome == Outcome::kFailed) {
    row.light = Light::kAmber;
  } else {
    row.light = Light::kGreen;
  }
  return row;
}

std::vector<StatusRow> RankBranches(const FleetStatus& status) {
  std::vector<StatusRow> rows;
  rows.reserve(status.reports.size());
  for (const BranchReport& report : status.reports) {
    rows.push_back(RankBranch(report, status.published_day));
  }
  auto key = [](const StatusRow& row) {
    const Receipt* r = status_text::OwnReceipt(row);
    const bool never = r && !r->recorded_day;
    const bool failed = r && r->outcome == Outcome::kFailed;
    const int kind = !r ? 0 : never ? 1 : 2;
    return std::make_tuple(static_cast<int>(row.light), kind, -row.days_behind.value_or(0),
                           failed ? 0 : 1);
  };
  auto name = [](const StatusRow& row) -> const std::string& {
    const Receipt* r = status_text::OwnReceipt(row);
    return r ? r->cgc : row.report->file_name;
  };
  std::stable_sort(rows.begin(), rows.end(), [&](const StatusRow& a, const StatusRow& b) {
    const auto ka = key(a), kb = key(b);
    if (ka != kb) return ka < kb;
    return std::tie(name(a), a.report->file_name) < std::tie(name(b), b.report->file_name);
  });
  return rows;
}

std::string SummaryLine(const std::vector<StatusRow>& rows) {
  if (rows.empty()) return "Nenhum recibo de filial";
  const auto green = std::count_if(rows.begin(), rows.end(),
                                   [](const StatusRow& r) { return r.light == Light::kGreen; });
  return std::to_string(green) + " de " + status_text::Plural(rows.size(), "filial", "filiais") +
         " em dia";
}

std::optional<NoCodeCount> HeadOfficeNoCode(const std::vector<StatusRow>& rows) {
  std::optional<NoCodeCount> newest;
  for (const StatusRow& row : rows) {
    const Receipt* r = status_text::OwnReceipt(row);
    if (!r || !r->file_day) continue;
    if (!newest || *r->file_day > newest->file_day) {
      newest = NoCodeCount{*r->file_day, r->no_code_count};
    } else if (*r->file_day == newest->file_day) {
      newest->count = std::max(newest->count, r->no_code_count);
    }
  }
  if (newest && newest->count == 0) return std::nullopt;
  return newest;
}

}  // namespace quilvane::sync
