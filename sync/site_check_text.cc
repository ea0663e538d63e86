// How -CHECK writes what it found: one line per item, sizes and times as the
// operator's regional settings show them.
#include <cmath>
#include <cstdio>

#include "platform/datetime.h"
#include "sync/site_check_verdicts.h"

namespace quilvane::sync {

std::string ClockReading::LocalText(std::int64_t utc_seconds) const {
  const double utc_now_day = platform::DateTimeOfUnixSeconds(static_cast<double>(utc_now));
  // The local offset in whole quarter hours.
  const double offset = std::round((local_now - utc_now_day) * 96) / 96;
  const platform::DateTime local =
      platform::DateTimeOfUnixSeconds(static_cast<double>(utc_seconds)) + offset;
  const platform::CivilTime t = platform::DecodeTime(local);
  char time[16];
  std::snprintf(time, sizeof time, " %02d%c%02d", t.hour, regional.time_separator, t.minute);
  return platform::FormatShortDate(local, regional) + time;
}

std::string OneLine(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\r' || c == '\n') {
      while (i + 1 < text.size() && (text[i + 1] == '\r' || text[i + 1] == '\n')) ++i;
      if (i + 1 < text.size() && !out.empty()) out += "; ";
    } else {
      out += c;
    }
  }
  while (!out.empty() && (out.back() == ' ' || out.back() == ';')) out.pop_back();
  return out;
}

std::string FormatBytes(std::uint64_t bytes, char decimal_separator) {
  static constexpr const char* kUnits[] = {"bytes", "KB", "MB", "GB", "TB"};
  double value = static_cast<double>(bytes);
  int unit = 0;
  while (value >= 1024 && unit < 4) {
    value /= 1024;
    ++unit;
  }
  char buf[64];
  if (unit == 0) {
    std::snprintf(buf, sizeof buf, "%llu bytes", static_cast<unsigned long long>(bytes));
    return buf;
  }
  std::snprintf(buf, sizeof buf, "%.1f %s", value, kUnits[unit]);
  std::string out = buf;
  for (char& c : out) {
    if (c == '.') c = decimal_separator;
  }
  return out;
}

}  // namespace quilvane::sync
