#include "sync/cycle_receipt.h"

#include <algorithm>

namespace quilvane::sync {

Receipt MakeCycleReceipt(const CycleFacts& facts) {
  Receipt r;
  r.cgc = facts.cgc;
  r.name = facts.name;
  r.version = QUILVANE_VERSION;
  r.start = LocalMomentOf(facts.started, facts.utc_offset_minutes);
  r.duration_ms = std::max<std::int64_t>(0, facts.duration_ms);
  if (facts.recorded_day) r.recorded_day = DayOfDate(*facts.recorded_day);
  if (!facts.import) {
    r.outcome = Outcome::kFailed;
    r.failure = facts.log_lines;
    if (r.failure.empty()) r.failure.push_back("O ciclo parou sem registrar o motivo.");
    return r;
  }
  const exchange::ImportResult& im = *facts.import;
  r.outcome = im.applied ? Outcome::kApplied : Outcome::kNothingNew;
  if (im.applied) r.file_day = DayOfDate(im.day);
  r.statements_applied = im.statements;
  r.unmatched_count = im.unmatched.count;
  r.no_code_count = im.no_code;
  // The file the branch got, applied or not, when it is two or more days
  // old: the head office stopped publishing, or its file is held back.
  if (im.read_day != 0 && platform::DayOf(facts.started) - platform::DayOf(im.read_day) >= 2) {
    r.stale_file_day = DayOfDate(im.read_day);
  }
  if (im.compared) {
    r.changed_count = im.changed;
    r.unchanged_count = im.unchanged;
  }
  for (const std::string& code : im.unmatched.codes) {
    if (r.unmatched_codes.size() >= kMaxUnmatchedCodes) break;
    r.unmatched_codes.push_back(code);
  }
  return r;
}

}  // namespace quilvane::sync
