#include <cstdio>

#include "sync/receipt.h"

namespace quilvane::sync {
namespace {

constexpr int kMaxOffsetMinutes = 18 * 60;

std::int64_t UnixDayOf(const Day& day) {
  return platform::UnixDayOf({day.year, day.month, day.day});
}

// Exactly `width` decimal digits.
std::optional<int> Digits(std::string_view text, size_t width) {
  if (text.size() != width) return std::nullopt;
  int value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  return value;
}

}  // namespace

std::int64_t DaysBetween(const Day& from, const Day& to) { return UnixDayOf(to) - UnixDayOf(from); }

Day DayOfDate(platform::DateTime date) {
  const platform::CivilDate c = platform::DecodeDate(date);
  return Day{c.year, c.month, c.day};
}

std::string IsoDayText(const Day& day) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02d", day.year, day.month, day.day);
  return buf;
}

std::optional<Day> ParseIsoDay(std::string_view text) {
  if (text.size() != 10 || text[4] != '-' || text[7] != '-') return std::nullopt;
  const auto y = Digits(text.substr(0, 4), 4);
  const auto m = Digits(text.substr(5, 2), 2);
  const auto d = Digits(text.substr(8, 2), 2);
  if (!y || !m || !d || *y < 1900 || !platform::IsValidDate(*y, *m, *d)) return std::nullopt;
  return Day{*y, *m, *d};
}

LocalParts LocalPartsOf(const LocalMoment& moment) {
  constexpr std::int64_t kDay = platform::kSecondsPerDay;
  const std::int64_t local = moment.unix_seconds + std::int64_t{moment.utc_offset_minutes} * 60;
  std::int64_t days = local / kDay;
  std::int64_t secs = local % kDay;
  if (secs < 0) {
    secs += kDay;
    --days;
  }
  const platform::CivilDate date = platform::CivilDateOfUnixDay(days);
  return {Day{date.year, date.month, date.day}, static_cast<int>(secs / 3600),
          static_cast<int>(secs / 60 % 60), static_cast<int>(secs % 60)};
}

std::string FormatLocalMoment(const LocalMoment& moment) {
  const LocalParts at = LocalPartsOf(moment);
  const int offset =
      moment.utc_offset_minutes < 0 ? -moment.utc_offset_minutes : moment.utc_offset_minutes;
  char buf[48];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d%c%02d:%02d", at.day.year,
                at.day.month, at.day.day, at.hour, at.minute, at.second,
                moment.utc_offset_minutes < 0 ? '-' : '+', offset / 60, offset % 60);
  return buf;
}

std::optional<LocalMoment> ParseLocalMoment(std::string_view text) {
  // 2023-10-17T08:30:05-03:00, or with "Z" for UTC.
  if (text.size() < 20 || text[10] != 'T' || text[13] != ':' || text[16] != ':') {
    return std::nullopt;
  }
  const auto day = ParseIsoDay(text.substr(0, 10));
  const auto hh = Digits(text.substr(11, 2), 2);
  const auto mm = Digits(text.substr(14, 2), 2);
  const auto ss = Digits(text.substr(17, 2), 2);
  if (!day || !hh || !mm || !ss || *hh > 23 || *mm > 59 || *ss > 59) return std::nullopt;
  int offset = 0;
  const std::string_view zone = text.substr(19);
  if (zone != "Z") {
    if (zone.size() != 6 || (zone[0] != '+' && zone[0] != '-') || zone[3] != ':') {
      return std::nullopt;
    }
    const auto oh = Digits(zone.substr(1, 2), 2);
    const auto om = Digits(zone.substr(4, 2), 2);
    if (!oh || !om || *om > 59) return std::nullopt;
    offset = *oh * 60 + *om;
    if (offset > kMaxOffsetMinutes) return std::nullopt;
    if (zone[0] == '-') offset = -offset;
  }
  const std::int64_t local =
      UnixDayOf(*day) * platform::kSecondsPerDay + *hh * 3600 + *mm * 60 + *ss;
  return LocalMoment{local - std::int64_t{offset} * 60, offset};
}

LocalMoment LocalMomentOf(platform::DateTime local, int utc_offset_minutes) {
  const std::int64_t seconds = platform::UnixSecondsOf(local);
  return LocalMoment{seconds - std::int64_t{utc_offset_minutes} * 60, utc_offset_minutes};
}

}  // namespace quilvane::sync
