#include "exchange/changes_list.h"

#include <cstdio>

#include "platform/codepage.h"
#include "platform/directory.h"
#include "platform/file.h"
#include "platform/path.h"
#include "platform/text.h"

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
  // ASCII is the same in both; most fields are numbers and codes.
  std::string converted;
  std::string_view bytes = utf8;
  if (!platform::IsAscii(utf8)) {
    converted = platform::Utf8ToWindows1252(utf8);
    bytes = converted;
  }
  if (bytes.find_first_of(";\"\r\n") == std::string_view::npos) {
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

namespace {

template <typename Texts>
void AppendLine(std::string& out, const Texts& c) {
  AppendField(out, c.code);
  out += ';';
  AppendField(out, c.column);
  out += ';';
  AppendField(out, c.before);
  out += ';';
  AppendField(out, c.after);
  out += "\r\n";
}

void AppendLines(std::string& out, std::span<const Change> changes) {
  for (const Change& c : changes) AppendLine(out, c);
}

void AppendLines(std::string& out, const ChangeRange& changes) {
  // Reserved at once: a list of every product changed is megabytes.
  constexpr std::size_t kSeparatorsAndColumn = 32;
  out.reserve(out.size() + changes.text_size() + changes.size() * kSeparatorsAndColumn);
  for (std::size_t i = 0; i < changes.size(); ++i) AppendLine(out, changes.Text(i));
}

template <typename Changes>
void WriteLines(const std::string& folder, platform::DateTime day, const Changes& changes) {
  platform::CreateDirectories(folder);
  const std::string path = ChangesListPath(folder, day);
  std::string bytes;
  if (platform::FileExists(path)) bytes = platform::ReadFileToString(path);
  if (bytes.empty()) {
    bytes = kChangesListHeader;
  } else if (bytes.back() != '\n') {
    bytes += "\r\n";
  }
  AppendLines(bytes, changes);
  platform::WriteFileAtomically(path, bytes);
}

}  // namespace

std::string FormatChanges(std::span<const Change> changes) {
  std::string out;
  AppendLines(out, changes);
  return out;
}

std::string FormatChanges(const ChangeRange& changes) {
  std::string out;
  AppendLines(out, changes);
  return out;
}

void WriteChangesList(const std::string& folder, platform::DateTime day,
                      std::span<const Change> changes) {
  WriteLines(folder, day, changes);
}

void WriteChangesList(const std::string& folder, platform::DateTime day,
                      const ChangeRange& changes) {
  WriteLines(folder, day, changes);
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
