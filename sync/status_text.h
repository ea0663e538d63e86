#pragma once

// Texts shared by the status table and the status page. Everything taken
// from a receipt comes out cleaned and cut (DisplayText), not escaped.

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "sync/status_page.h"

namespace quilvane::sync::status_text {

// Lengths, in characters, of what a receipt may put on the page or table.
inline constexpr size_t kMaxLabel = 40;
inline constexpr size_t kMaxName = 40;
inline constexpr size_t kMaxVersion = 20;
inline constexpr size_t kMaxError = 120;

inline bool Readable(const BranchReport& report) { return report.parsed.receipt.has_value(); }

// A receipt that speaks for its own branch.
inline const Receipt* OwnReceipt(const StatusRow& row) {
  return Readable(*row.report) && !row.foreign ? &*row.report->parsed.receipt : nullptr;
}

// "17/10/2023".
std::string DayText(const Day& day);
// The local day of a moment and its "dd/mm/yyyy hh:mm".
std::pair<Day, std::string> MomentText(const LocalMoment& moment);

// The branch as the page names it: its CGC, else its receipt's file name.
std::string Label(const StatusRow& row);
// NomeFilial from its own receipt; empty when none.
std::string BranchName(const StatusRow& row);
// "Loja Centro" when named, else the label: how a log line names a branch.
std::string NameOrLabel(const StatusRow& row);
std::string BehindText(const StatusRow& row);
std::string OutcomeText(const StatusRow& row);
const char* LightName(Light light);
std::string Plural(size_t n, const char* one, const char* many);

// "Arquivo da matriz de 14/10/2023: 3 dias sem atualização", from a
// receipt whose branch could only get a file two or more days old.
std::optional<std::string> StaleText(const Receipt& receipt);
// "2 produtos da matriz sem código", or empty.
std::string NoCodeText(const std::vector<StatusRow>& rows, const std::optional<Day>& published);
// What the reading limit left out, or empty.
std::string UnreadText(size_t unread);

}  // namespace quilvane::sync::status_text
