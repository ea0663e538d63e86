#include "exchange/changes_list.h"

#include <cstdio>

#include "platform/codepage.h"
#include "platform/directory.h"
#include "platform/file.h"
#include "platform/path.h"

namespace quilvane::exchange {
namespace {

constexpr std::string_view kExtension = ".csv";

std::string DayName(platform::DateTime day) {
  const platform::CivilDate d = platform::DecodeDate(day);
  char name[16];
  std::snprintf(name, sizeof name, "%04d%02d%02d", d.year, d.month, d.day);
  return name;
}

// The day a list's name stands for: "AAAAMMDD.csv" and nothing else.
std::optional<platform::DateTime> DayOfName(std::string_view name) {
  if (name.size() != 8 + kExtension.size() || name.substr(8) != kExtension) return std::nullopt;
  int value[3] = {0, 0, 0};
  const int widths[3] = {4, 2, 2};
  std::size_t at = 0;
  for (int i = 0; i < 3; ++i) {
    for (int k = 0; k < widths[i]; ++k, ++at) {
      if (name[at] < '0' || name[at] > '9') return std::nullopt;
      value[i] = value[i] * 10 + (name[at] - '0');
    }
  }
  return platform::TryEncodeDate(value[0], value[1], value[2]);
}

void AppendField(std::string& out, std::string_view utf8) {
  const std::string bytes = platform::Utf8ToWindows1252(utf8);
  if (bytes.find_first_of(";\"\r\n") == std::string::npos) {
    out += bytes;
    return;
  }
  out += '"';
  for (char c : bytes) {
    if (c == '"') out += '"';
    out += c;
  }
  out += '"';
}

}  // namespace

std::string ChangesListPath(const std::string& folder, platform::DateTime day) {
  return platform::WithTrailingSeparator(folder) + DayName(day) + std::string(kExtension);
}

std::string FormatChanges(std::span<const Change> changes) {
  std::string out;
  for (const Change& c : changes) {
    AppendField(out, c.code);
    out += ';';
    AppendField(out, c.column);
    out += ';';
    AppendField(out, c.before);
    out += ';';
    AppendField(out, c.after);
    out += "\r\n";
  }
  return out;
}

void WriteChangesList(const std::string& folder, platform::DateTime day,
                      std::span<const Change> changes) {
  platform::CreateDirectories(folder);
  const std::string path = ChangesListPath(folder, day);
  std::string bytes;
  if (platform::FileExists(path)) bytes = platform::ReadFileToString(path);
  if (bytes.empty()) {
    bytes = kChangesListHeader;
  } else if (bytes.back() != '\n') {
    bytes += "\r\n";
  }
  bytes += FormatChanges(changes);
  platform::WriteFileAtomically(path, bytes);
}

int RemoveOldChangesLists(const std::string& folder, platform::DateTime today) {
  if (!platform::DirectoryExists(folder)) return 0;
  const std::int64_t oldest_kept = platform::DayOf(today) - kChangesListDays;
  int removed = 0;
  for (const std::string& name : platform::ListDirectory(folder)) {
    const auto day = DayOfName(name);
    if (!day || platform::DayOf(*day) >= oldest_kept) continue;
    const std::string path = platform::WithTrailingSeparator(folder) + name;
    if (platform::DirectoryExists(path)) continue;
    if (platform::DeleteFile(path)) ++removed;
  }
  return removed;
}

}  // namespace quilvane::exchange
