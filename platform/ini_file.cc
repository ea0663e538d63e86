#include "platform/ini_file.h"

#include <optional>
#include <vector>

#include "platform/codepage.h"
#include "platform/error.h"
#include "platform/file.h"
#include "platform/safe_path.h"
#include "platform/text.h"

namespace quilvane::platform {
namespace {

constexpr size_t kMaxValue = 2047;

enum class Encoding { kAnsi, kUtf8Bom, kUtf16Le, kUtf16Be };

struct Content {
  Encoding encoding = Encoding::kAnsi;
  std::vector<std::string> lines;  // UTF-8, without line ends
  bool final_break = true;
};

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r'))
    s.remove_suffix(1);
  return s;
}

// A file that exists but could not be read or decoded: reads see it as
// empty, and no write may replace it with the one key it would then hold.
struct Unreadable {
  std::string reason;
};

// The file's lines; nullopt when it does not exist.
std::optional<Content> Load(const std::string& path, Unreadable* unreadable = nullptr) {
  if (!FileExists(path)) return std::nullopt;
  std::string raw;
  try {
    raw = ReadFileToString(path);
  } catch (const Error& e) {
    if (unreadable) unreadable->reason = e.what();
    return std::nullopt;
  }
  Content c;
  std::string text;
  if (raw.starts_with("\xEF\xBB\xBF")) {
    c.encoding = Encoding::kUtf8Bom;
    text = raw.substr(3);
  } else if (raw.starts_with("\xFF\xFE") || raw.starts_with("\xFE\xFF")) {
    const bool be = raw[0] == '\xFE';
    c.encoding = be ? Encoding::kUtf16Be : Encoding::kUtf16Le;
    try {
      text = Utf16ToUtf8(std::string_view(raw).substr(2, (raw.size() - 2) & ~size_t{1}), be);
    } catch (const Error& e) {
      if (unreadable) unreadable->reason = e.what();
      return std::nullopt;
    }
  } else {
    text = AnsiToUtf8(raw);
  }
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find_first_of("\r\n", start);
    if (end == std::string::npos) {
      c.lines.push_back(text.substr(start));
      c.final_break = false;
      break;
    }
    c.lines.push_back(text.substr(start, end - start));
    if (text[end] == '\r' && end + 1 < text.size() && text[end + 1] == '\n') ++end;
    start = end + 1;
  }
  return c;
}

// A section header's name, or nullopt when the line is none.
std::optional<std::string_view> SectionOf(std::string_view line) {
  line = Trim(line);
  if (line.size() < 2 || line.front() != '[') return std::nullopt;
  const size_t close = line.find(']');
  if (close == std::string_view::npos) return std::nullopt;
  return Trim(line.substr(1, close - 1));
}

// Splits "key=value"; nullopt for lines without '=' or comment lines.
std::optional<std::pair<std::string_view, std::string_view>> KeyOf(std::string_view line) {
  const std::string_view t = Trim(line);
  if (t.empty() || t.front() == ';') return std::nullopt;
  const size_t eq = line.find('=');
  if (eq == std::string_view::npos) return std::nullopt;
  return std::make_pair(Trim(line.substr(0, eq)), Trim(line.substr(eq + 1)));
}

}  // namespace

std::string_view StripQuotes(std::string_view value) {
  if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
      value.back() == value.front()) {
    return value.substr(1, value.size() - 2);
  }
  return value;
}

IniSnapshot::IniSnapshot(const std::string& path) {
  Unreadable unreadable;
  if (auto content = Load(path, &unreadable)) lines_ = std::move(content->lines);
  error_ = std::move(unreadable.reason);
}

std::string IniSnapshot::ReadString(std::string_view section, std::string_view key,
                                    std::string_view default_value) const {
  bool in_section = false;
  for (const std::string& line : lines_) {
    if (auto name = SectionOf(line)) {
      in_section = EqualsIgnoreAsciiCase(*name, section);
      continue;
    }
    if (!in_section) continue;
    if (auto kv = KeyOf(line); kv && EqualsIgnoreAsciiCase(kv->first, key)) {
      std::string value(StripQuotes(kv->second));
      if (value.size() > kMaxValue) value.resize(kMaxValue);
      return value;
    }
  }
  return std::string(default_value);
}

std::int32_t IniSnapshot::ReadInteger(std::string_view section, std::string_view key,
                                      std::int32_t default_value) const {
  const std::string text = ReadString(section, key, "");
  std::int32_t value = 0;
  return ParseIniInteger(text, value) ? value : default_value;
}

bool IniSnapshot::ReadBool(std::string_view section, std::string_view key,
                           bool default_value) const {
  return ReadInteger(section, key, default_value ? 1 : 0) != 0;
}

std::string IniFile::ReadString(std::string_view section, std::string_view key,
                                std::string_view default_value) const {
  return IniSnapshot(path_).ReadString(section, key, default_value);
}

bool ParseIniInteger(std::string_view text, std::int32_t& out) {
  std::string_view t = text;
  bool negative = false;
  int base = 10;
  if (t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X')) {
    t.remove_prefix(2);
    base = 16;
  } else {
    if (!t.empty() && (t[0] == '-' || t[0] == '+')) {
      negative = t[0] == '-';
      t.remove_prefix(1);
    }
    if (!t.empty() && t[0] == '$') {
      t.remove_prefix(1);
      base = 16;
    } else if (t.size() > 1 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X')) {
      t.remove_prefix(2);
      base = 16;
    }
  }
  if (t.empty()) return false;
  std::uint64_t value = 0;
  for (char c : t) {
    int d;
    if (c >= '0' && c <= '9')
      d = c - '0';
    else if (base == 16 && c >= 'a' && c <= 'f')
      d = c - 'a' + 10;
    else if (base == 16 && c >= 'A' && c <= 'F')
      d = c - 'A' + 10;
    else
      return false;
    value = value * static_cast<std::uint64_t>(base) + static_cast<std::uint64_t>(d);
    if (value > 0xFFFFFFFFull) return false;
  }
  if (base == 10) {
    if (negative ? value > 0x80000000ull : value > 0x7FFFFFFFull) return false;
    out = negative ? static_cast<std::int32_t>(-static_cast<std::int64_t>(value))
                   : static_cast<std::int32_t>(value);
  } else {
    // Hex spells the 32 bits, as "$FFFFFFFF" is -1.
    const auto bits = static_cast<std::uint32_t>(value);
    std::int32_t v = static_cast<std::int32_t>(bits);
    out = negative ? static_cast<std::int32_t>(0u - bits) : v;
  }
  return true;
}

std::int32_t IniFile::ReadInteger(std::string_view section, std::string_view key,
                                  std::int32_t default_value) const {
  return IniSnapshot(path_).ReadInteger(section, key, default_value);
}

bool IniFile::ReadBool(std::string_view section, std::string_view key, bool default_value) const {
  return IniSnapshot(path_).ReadBool(section, key, default_value);
}

void IniFile::WriteString(std::string_view section, std::string_view key,
                          std::string_view value) const {
  Unreadable unreadable;
  std::optional<Content> loaded = Load(path_, &unreadable);
  if (!loaded && !unreadable.reason.empty()) {
    // Rewriting it would keep only this key: the head office's CNPJ and
    // the trusted keys would be gone.
    throw Error("Unable to write to " + path_ +
                " (it could not be read, so it was left as it is: " + unreadable.reason + ")");
  }
  Content c = std::move(loaded).value_or(Content{});
  const std::string entry = std::string(key) + "=" + std::string(value);
  bool in_section = false;
  bool written = false;
  std::optional<size_t> section_end;  // index after the section's last key line
  for (size_t i = 0; i < c.lines.size() && !written; ++i) {
    if (auto name = SectionOf(c.lines[i])) {
      in_section = EqualsIgnoreAsciiCase(*name, section);
      if (in_section) section_end = i + 1;
      continue;
    }
    if (!in_section) continue;
    if (auto kv = KeyOf(c.lines[i])) {
      if (EqualsIgnoreAsciiCase(kv->first, key)) {
        c.lines[i] = entry;
        written = true;
      } else {
        section_end = i + 1;
      }
    }
  }
  if (!written) {
    if (section_end) {
      c.lines.insert(c.lines.begin() + static_cast<std::ptrdiff_t>(*section_end), entry);
    } else {
      c.lines.push_back("[" + std::string(section) + "]");
      c.lines.push_back(entry);
    }
  }
  std::string text;
  for (size_t i = 0; i < c.lines.size(); ++i) {
    text += c.lines[i];
    text += "\r\n";
  }
  std::string bytes;
  switch (c.encoding) {
    case Encoding::kAnsi:
      bytes = Utf8ToAnsi(text);
      break;
    case Encoding::kUtf8Bom:
      bytes = "\xEF\xBB\xBF" + text;
      break;
    case Encoding::kUtf16Le:
      bytes = "\xFF\xFE" + Utf8ToUtf16(text, false);
      break;
    case Encoding::kUtf16Be:
      bytes = "\xFE\xFF" + Utf8ToUtf16(text, true);
      break;
  }
  try {
    WriteFileAtomically(path_, bytes);
  } catch (const KeptTemporaryFileError& e) {
    // The operator must learn where the new settings are.
    throw Error("Unable to write to " + path_ + " (the new content is kept in " + e.kept_path() +
                ")");
  } catch (const UntrustedLinkError& e) {
    throw Error("Unable to write to " + path_ + " (" + e.what() + ")");
  } catch (const Error&) {
    throw Error("Unable to write to " + path_);
  }
}

}  // namespace quilvane::platform
