#include "transfer/ftp_listing.h"

#include <algorithm>
#include <array>
#include <vector>

namespace quilvane::transfer {
namespace {

constexpr std::int64_t kMinute = 60;
constexpr std::int64_t kDay = 86400;

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (Lower(a[i]) != Lower(b[i])) return false;
  }
  return true;
}

// A decimal number of at most `max_digits` digits, the whole text.
std::optional<std::int64_t> Number(std::string_view text, size_t max_digits) {
  if (text.empty() || text.size() > max_digits) return std::nullopt;
  std::int64_t value = 0;
  for (char c : text) {
    if (!IsDigit(c)) return std::nullopt;
    value = value * 10 + (c - '0');
  }
  return value;
}

// Days from 1970-01-01 to a valid civil date (the proleptic Gregorian
// calendar); nullopt for a day that does not exist.
std::optional<std::int64_t> DaysFromCivil(std::int64_t y, int m, int d) {
  static constexpr std::array<int, 12> kDays = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (y < 1970 || y > 9999 || m < 1 || m > 12 || d < 1) return std::nullopt;
  const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
  if (d > kDays[m - 1] + (m == 2 && leap ? 1 : 0)) return std::nullopt;
  y -= m <= 2;
  const std::int64_t era = y / 400;
  const std::int64_t yoe = y - era * 400;
  const std::int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

std::optional<std::int64_t> Moment(std::int64_t y, int mo, int d, int h, int mi, int s) {
  if (h > 23 || mi > 59 || s > 60) return std::nullopt;
  const auto days = DaysFromCivil(y, mo, d);
  if (!days) return std::nullopt;
  return *days * kDay + h * 3600 + mi * kMinute + s;
}

// The civil year of UTC seconds since 1970.
std::int64_t YearOf(std::int64_t seconds) {
  std::int64_t year = 1970 + std::max<std::int64_t>(0, seconds) / (kDay * 366);
  for (;;) {
    const auto next = DaysFromCivil(year + 1, 1, 1);
    if (!next || *next * kDay > seconds) return year;
    ++year;
  }
}

std::vector<std::string_view> Words(std::string_view line) {
  std::vector<std::string_view> words;
  size_t at = 0;
  while (at < line.size() && words.size() < 64) {
    while (at < line.size() && line[at] == ' ') ++at;
    if (at == line.size()) break;
    const size_t end = std::min(line.find(' ', at), line.size());
    words.push_back(line.substr(at, end - at));
    at = end;
  }
  return words;
}

// The rest of the line after `word` (one of its words) and the blanks after
// it: a name may hold blanks of its own.
std::string_view RestAfter(std::string_view line, std::string_view word) {
  const size_t end = static_cast<size_t>(word.data() + word.size() - line.data());
  size_t at = end;
  while (at < line.size() && line[at] == ' ') ++at;
  return line.substr(at);
}

int MonthOf(std::string_view word) {
  static constexpr std::array<std::string_view, 12> kMonths = {
      "jan", "feb", "mar", "apr", "may", "jun", "jul", "aug", "sep", "oct", "nov", "dec"};
  for (size_t i = 0; i < kMonths.size(); ++i) {
    if (EqualsNoCase(word, kMonths[i])) return static_cast<int>(i) + 1;
  }
  return 0;
}

// "HH:MM" into minutes of the day.
std::optional<int> ClockMinutes(std::string_view text) {
  const size_t colon = text.find(':');
  if (colon == std::string_view::npos) return std::nullopt;
  const auto h = Number(text.substr(0, colon), 2);
  const auto m = Number(text.substr(colon + 1), 2);
  if (!h || !m || *h > 23 || *m > 59) return std::nullopt;
  return static_cast<int>(*h * 60 + *m);
}

// "-rw-r--r-- 1 owner group 1234 Dec 10 08:30 name": the month word is the
// anchor, the size the word before it, the name what follows the time.
std::optional<ListedEntry> ParseUnixLine(std::string_view line, std::int64_t now_seconds) {
  const std::vector<std::string_view> w = Words(line);
  if (w.size() < 6 || w[0].size() < 10) return std::nullopt;
  const char kind = w[0][0];
  if (std::string_view("-dlbcps").find(kind) == std::string_view::npos) return std::nullopt;
  for (size_t m = 2; m + 3 < w.size(); ++m) {
    const int month = MonthOf(w[m]);
    if (month == 0) continue;
    const auto size = Number(w[m - 1], 19);
    const auto day = Number(w[m + 1], 2);
    if (!size || !day) continue;
    std::string_view name = RestAfter(line, w[m + 2]);
    if (name.empty()) continue;
    ListedEntry entry;
    entry.file = kind == '-';
    if (kind == 'l') {
      // A link reads as the file it names; its facts are the link's own.
      name = name.substr(0, name.find(" -> "));
      entry.file = true;
    } else if (static_cast<std::uint64_t>(*size) <= kMaxListedSize) {
      entry.size = static_cast<std::uint64_t>(*size);
    }
    entry.name = std::string(name);
    if (kind == 'l') return entry;
    if (const auto minutes = ClockMinutes(w[m + 2])) {
      // No year: the latest one that does not put the stamp in the future.
      std::int64_t year = YearOf(now_seconds);
      for (int tries = 0; tries < 2; ++tries, --year) {
        const auto at =
            Moment(year, month, static_cast<int>(*day), *minutes / 60, *minutes % 60, 0);
        if (at && *at <= now_seconds + kDay) {
          entry.modified = ListedTime{*at, kMinute, false};
          break;
        }
      }
    } else if (const auto year = Number(w[m + 2], 4)) {
      if (const auto at = Moment(*year, month, static_cast<int>(*day), 0, 0, 0)) {
        entry.modified = ListedTime{*at, kDay, false};
      }
    }
    return entry;
  }
  return std::nullopt;
}

// "12-10-26  08:30AM       1234 name" or "<DIR>" in place of the size.
std::optional<ListedEntry> ParseDosLine(std::string_view line) {
  const std::vector<std::string_view> w = Words(line);
  if (w.size() < 4) return std::nullopt;
  const std::string_view date = w[0];
  if (date.size() < 8 || date[2] != '-' || date[5] != '-') return std::nullopt;
  const auto mo = Number(date.substr(0, 2), 2);
  const auto d = Number(date.substr(3, 2), 2);
  auto y = Number(date.substr(6), 4);
  if (!mo || !d || !y || (date.size() != 8 && date.size() != 10)) return std::nullopt;
  if (date.size() == 8) *y += *y < 70 ? 2000 : 1900;
  std::string_view clock = w[1];
  bool twelve_hour = false;
  bool pm = false;
  if (clock.size() > 2) {
    const std::string_view half = clock.substr(clock.size() - 2);
    pm = EqualsNoCase(half, "PM");
    twelve_hour = pm || EqualsNoCase(half, "AM");
    if (twelve_hour) clock.remove_suffix(2);
  }
  auto minutes = ClockMinutes(clock);
  if (!minutes) return std::nullopt;
  if (twelve_hour) {
    const int hour = *minutes / 60;
    if (hour < 1 || hour > 12) return std::nullopt;
    *minutes = (hour % 12 + (pm ? 12 : 0)) * 60 + *minutes % 60;
  }
  ListedEntry entry;
  entry.name = std::string(RestAfter(line, w[2]));
  if (entry.name.empty()) return std::nullopt;
  if (w[2] == "<DIR>") {
    entry.file = false;
  } else {
    const auto size = Number(w[2], 19);
    if (!size) return std::nullopt;
    if (static_cast<std::uint64_t>(*size) <= kMaxListedSize) {
      entry.size = static_cast<std::uint64_t>(*size);
    }
  }
  if (const auto at = Moment(*y, static_cast<int>(*mo), static_cast<int>(*d), *minutes / 60,
                             *minutes % 60, 0)) {
    entry.modified = ListedTime{*at, kMinute, false};
  }
  return entry;
}

}  // namespace

std::optional<ListedTime> ParseStampText(std::string_view text) {
  if (text.size() < 14) return std::nullopt;
  if (text.size() > 14) {
    if (text[14] != '.' || text.size() > 24) return std::nullopt;
    for (char c : text.substr(15)) {
      if (!IsDigit(c)) return std::nullopt;
    }
  }
  const auto y = Number(text.substr(0, 4), 4);
  const auto mo = Number(text.substr(4, 2), 2);
  const auto d = Number(text.substr(6, 2), 2);
  const auto h = Number(text.substr(8, 2), 2);
  const auto mi = Number(text.substr(10, 2), 2);
  const auto s = Number(text.substr(12, 2), 2);
  if (!y || !mo || !d || !h || !mi || !s) return std::nullopt;
  const auto at = Moment(*y, static_cast<int>(*mo), static_cast<int>(*d), static_cast<int>(*h),
                         static_cast<int>(*mi), static_cast<int>(*s));
  if (!at) return std::nullopt;
  return ListedTime{*at, 1, true};
}

std::optional<std::uint64_t> ParseSizeText(std::string_view text) {
  while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
  while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
  const auto size = Number(text, 19);
  if (!size || static_cast<std::uint64_t>(*size) > kMaxListedSize) return std::nullopt;
  return static_cast<std::uint64_t>(*size);
}

std::optional<ListedEntry> ParseMlsdLine(std::string_view line) {
  const size_t blank = line.find(' ');
  if (blank == std::string_view::npos || blank == 0) return std::nullopt;
  ListedEntry entry;
  entry.name = std::string(line.substr(blank + 1));
  if (entry.name.empty()) return std::nullopt;
  std::string_view facts = line.substr(0, blank);
  while (!facts.empty()) {
    const size_t semi = std::min(facts.find(';'), facts.size());
    const std::string_view fact = facts.substr(0, semi);
    facts.remove_prefix(std::min(semi + 1, facts.size()));
    const size_t eq = fact.find('=');
    if (eq == std::string_view::npos) continue;
    const std::string_view key = fact.substr(0, eq);
    const std::string_view value = fact.substr(eq + 1);
    if (EqualsNoCase(key, "type")) {
      entry.file = EqualsNoCase(value, "file");
    } else if (EqualsNoCase(key, "size")) {
      entry.size = ParseSizeText(value);
    } else if (EqualsNoCase(key, "modify")) {
      entry.modified = ParseStampText(value);
    }
  }
  return entry;
}

std::optional<ListedEntry> ParseListLine(std::string_view line, std::int64_t now_seconds) {
  while (!line.empty() && (line.back() == ' ' || line.back() == '\t')) line.remove_suffix(1);
  if (line.empty()) return std::nullopt;
  if (IsDigit(line[0])) return ParseDosLine(line);
  return ParseUnixLine(line, now_seconds);
}

}  // namespace quilvane::transfer
