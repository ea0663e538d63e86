#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/datetime.h"

namespace quilvane::sync {

// The receipt a branch leaves on the exchange server after each cycle that
// went past the daily gate, so the head office can tell which branch applied
// which day. Its fields and their spelling: sync/receipt_format.h. Fields
// hold UTF-8 in memory.

inline constexpr size_t kMaxReceiptBytes = 16 * 1024;
inline constexpr size_t kMaxUnmatchedCodes = 50;

enum class Outcome {
  kApplied,     // the exchange file was applied
  kNothingNew,  // the file was not newer than the day recorded
  kFailed,      // the cycle failed; `failure` holds its log lines
};

// The outcome as the receipt stores it: "aplicado", "sem_novidade", "falhou".
std::string_view OutcomeName(Outcome outcome);

// A calendar day, as the exchange file's first line names one.
struct Day {
  int year = 0;
  int month = 0;
  int day = 0;
  friend bool operator==(const Day&, const Day&) = default;
  friend auto operator<=>(const Day&, const Day&) = default;
};

// Days from `from` to `to` (negative when `to` is earlier).
std::int64_t DaysBetween(const Day& from, const Day& to);

// The calendar day of a platform date-time.
Day DayOfDate(platform::DateTime date);

// "2023-10-17" and back; the parser takes years 1900 to 9999 only.
std::string IsoDayText(const Day& day);
std::optional<Day> ParseIsoDay(std::string_view text);

// A moment as the branch saw it: its UTC time and the UTC offset of its
// local time then.
struct LocalMoment {
  std::int64_t unix_seconds = 0;
  int utc_offset_minutes = 0;
  friend bool operator==(const LocalMoment&, const LocalMoment&) = default;
};

struct Receipt {
  std::string cgc;   // PADRAO.CGC as stored, possibly empty
  std::string name;  // `NomeFilial`, possibly empty
  std::string version;
  LocalMoment start;
  std::int64_t duration_ms = 0;
  Outcome outcome = Outcome::kFailed;
  std::optional<Day> file_day;
  std::optional<Day> recorded_day;
  // The day of the newest file the branch could get, when it was two or
  // more days old at the cycle's start: the head office stopped publishing,
  // or someone holds back its file.
  std::optional<Day> stale_file_day;
  std::int64_t statements_applied = 0;
  std::int64_t unmatched_count = 0;  // statements that matched no row
  // Statements whose code is NULL or empty: head-office products without a
  // code, which no branch can match; not among the unmatched.
  std::int64_t no_code_count = 0;
  // `SomenteAlterados`: products updated, and those that already held the
  // values; absent when the branch does not compare.
  std::optional<std::int64_t> changed_count;    // `alterados`
  std::optional<std::int64_t> unchanged_count;  // `sem_alteracao`
  std::vector<std::string> unmatched_codes;     // the first kMaxUnmatchedCodes of them
  std::vector<std::string> failure;             // the cycle's log lines, on failure
  std::vector<std::string> notes;               // `aviso` lines
  bool cut = false;  // the writer dropped or shortened lines to stay in the limit

  friend bool operator==(const Receipt&, const Receipt&) = default;
};

// The receipt's file name: the decimal digits of the branch's own CGC and
// ".txt". Without a digit, "sem-cgc" and the machine's name (its letters,
// digits and '-' only), which no CNPJ's digits can equal.
std::string ReceiptFileName(std::string_view cgc, std::string_view machine_name);

// The receipt's bytes, never more than kMaxReceiptBytes: codes and failure
// lines that do not fit are cut, then dropped, and `cortado=1` says so.
// An empty CGC adds a note saying the name was not formed from it.
std::string WriteReceipt(const Receipt& receipt);

// A receipt read back, or why it could not be: the bytes come from another
// machine, so every number is checked and bounded, unknown keys are skipped
// and anything broken yields `error` instead of a receipt. Only the whole
// lines within the first kMaxReceiptBytes count; a longer receipt reads as
// cut, so a caller need fetch no more than that (plus a margin) from a peer.
struct ParsedReceipt {
  std::optional<Receipt> receipt;
  std::string error;  // Portuguese, for the status page; empty on success
};
ParsedReceipt ParseReceipt(std::string_view bytes);

// "2023-10-17T08:30:05-03:00" and back.
std::string FormatLocalMoment(const LocalMoment& moment);
std::optional<LocalMoment> ParseLocalMoment(std::string_view text);

// A moment's calendar day and time of day on the branch's clock.
struct LocalParts {
  Day day;
  int hour = 0;
  int minute = 0;
  int second = 0;
};
LocalParts LocalPartsOf(const LocalMoment& moment);

// Text from a receipt (or a server's file name) made fit to show: valid
// UTF-8, control and direction-override characters as spaces, at most
// `max_chars` characters, the last of them "…" when it was cut.
std::string DisplayText(std::string_view text, size_t max_chars);

// Characters (code points) of UTF-8 text, for padding a column.
size_t CharCount(std::string_view utf8);

// The local moment of a platform date-time with its offset.
LocalMoment LocalMomentOf(platform::DateTime local, int utc_offset_minutes);

}  // namespace quilvane::sync
