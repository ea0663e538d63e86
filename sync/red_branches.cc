#include "sync/red_branches.h"

#include <exception>

#include "platform/file.h"
#include "sync/status_text.h"

namespace quilvane::sync {
namespace {

// The state file never grows past a few hundred KB: one short line for each
// red branch. Anything bigger is not ours.
constexpr size_t kMaxStateBytes = 1 << 20;
constexpr size_t kMaxKey = 200;

std::string KeyOf(const BranchReport& report) {
  const std::string& name = report.file_name;
  return name.ends_with(".txt") ? name.substr(0, name.size() - 4) : name;
}

// A receipt name's stem as the branches form it: digits, or "sem-cgc" with
// the machine's letters, digits and '-'.
bool ValidKey(std::string_view key) {
  if (key.empty() || key.size() > kMaxKey) return false;
  for (char c : key) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || c == '-')) return false;
  }
  return true;
}

}  // namespace

std::vector<std::string> RedBranchChanges(const std::vector<StatusRow>& rows, bool complete,
                                          std::set<std::string>& red) {
  std::vector<std::string> lines;
  std::set<std::string> seen;
  for (const StatusRow& row : rows) {
    const std::string key = KeyOf(*row.report);
    seen.insert(key);
    const Receipt* r = status_text::OwnReceipt(row);
    if (r == nullptr || !ValidKey(key)) continue;
    const std::string who = "Filial " + status_text::NameOrLabel(row);
    if (row.light == Light::kRed) {
      if (!red.insert(key).second) continue;
      lines.push_back(r->recorded_day
                          ? who + " sem sincronizar desde " + status_text::DayText(*r->recorded_day)
                          : who + " nunca sincronizou");
    } else if (row.light == Light::kGreen && red.erase(key) > 0) {
      lines.push_back(who + " sincronizada de novo em " +
                      status_text::DayText(r->recorded_day.value_or(Day{})));
    }
    // Amber: no longer red, not yet green; nothing said until it is one.
  }
  if (complete) std::erase_if(red, [&](const std::string& key) { return !seen.contains(key); });
  return lines;
}

void RedBranchWatch::Note(const FleetStatus& status) {
  if (!loaded_) Load();
  const std::set<std::string> before = red_;
  const std::vector<std::string> lines =
      RedBranchChanges(RankBranches(status), status.unread_receipts == 0, red_);
  for (const std::string& line : lines) log_.DoSaveLog(line);
  dirty_ = dirty_ || red_ != before;
  if (dirty_) Save();
}

void RedBranchWatch::Load() {
  loaded_ = true;
  const std::string path = dir_ + kRedBranchesName;
  std::string why;
  try {
    if (!platform::FileExists(path)) return;  // none red yet, or the first run
    const std::string text = platform::ReadFileToString(path);
    if (text.size() > kMaxStateBytes) {
      why = "maior que " + std::to_string(kMaxStateBytes) + " bytes";
    } else {
      size_t line = 0;
      for (size_t at = 0; at < text.size() && why.empty();) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        std::string_view key(text.data() + at, end - at);
        at = end + 1;
        ++line;
        if (key.ends_with('\r')) key.remove_suffix(1);
        if (key.empty()) continue;
        if (!ValidKey(key)) why = "linha " + std::to_string(line) + " inválida";
        red_.emplace(key);
      }
    }
  } catch (const std::exception& e) {
    why = e.what();
  }
  if (why.empty()) return;
  // Started afresh: every red branch gets its line once more, nothing is lost.
  red_.clear();
  dirty_ = true;
  log_.DoSaveLog("Lista de filiais em vermelho ilegível, refeita (" + path + "): " + why);
}

void RedBranchWatch::Save() {
  std::string text;
  for (const std::string& key : red_) text += key + "\r\n";
  try {
    platform::WriteFileAtomically(dir_ + kRedBranchesName, text);
    dirty_ = false;
    save_failure_logged_ = false;
  } catch (const std::exception& e) {
    if (save_failure_logged_) return;
    save_failure_logged_ = true;
    log_.DoSaveLog(std::string("Falha ao gravar a lista de filiais em vermelho: ") + e.what());
  }
}

}  // namespace quilvane::sync
