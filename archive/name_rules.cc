#include "archive/name_rules.h"

#include <vector>

#include "platform/codepage.h"
#include "platform/text.h"

namespace quilvane::archive {
namespace {

bool IsAscii(const std::string& s) {
  for (unsigned char c : s) {
    if (c >= 0x80) return false;
  }
  return true;
}

std::string ForwardSlashes(std::string s) {
  for (char& c : s) {
    if (c == '\\') c = '/';
  }
  return s;
}

}  // namespace

bool IsAbsolutePath(const std::string& path) {
  return (!path.empty() && (path[0] == '/' || path[0] == '\\')) ||
         path.find(':') != std::string::npos;
}

bool MatchesMask(const std::string& name, const std::string& mask) {
  // Iterative glob with one backtrack point: linear in practice, never
  // exponential.
  size_t n = 0, m = 0, star = std::string::npos, mark = 0;
  while (n < name.size()) {
    if (m < mask.size() &&
        (mask[m] == '?' || platform::AsciiLower(mask[m]) == platform::AsciiLower(name[n]))) {
      ++n;
      ++m;
    } else if (m < mask.size() && mask[m] == '*') {
      star = m++;
      mark = n;
    } else if (star != std::string::npos) {
      m = star + 1;
      n = ++mark;
    } else {
      return false;
    }
  }
  while (m < mask.size() && mask[m] == '*') ++m;
  return m == mask.size();
}

std::string StoredNameFor(const std::string& path, const std::string& base_dir) {
  std::string p = ForwardSlashes(path);
  while (!p.empty() && (p.back() == '/' || p.back() == '.')) p.pop_back();
  // Stored names separate folders with '/' on every host, so the base folder
  // ends in '/' here, never in the host's separator that
  // platform::WithTrailingSeparator would add for a file on disk.
  std::string base = ForwardSlashes(base_dir);
  if (!base.empty() && base.back() != '/') base += '/';
  std::string name = p;
  if (!base.empty() && p.size() > base.size() &&
      platform::EqualsIgnoreAsciiCase(p.substr(0, base.size()), base)) {
    name = p.substr(base.size());
  }
  if (name.find("../") != std::string::npos) name = p;
  // Drive letter or network prefix, then one leading separator.
  if (name.size() >= 2 && name[1] == ':') {
    name = name.substr(2);
  } else if (name.size() >= 2 && name[0] == '/' && name[1] == '/') {
    const auto server_end = name.find('/', 2);
    name = server_end == std::string::npos ? std::string() : name.substr(server_end);
  }
  if (!name.empty() && name[0] == '/') name.erase(0, 1);
  return name;
}

EncodedName EncodeName(const std::string& name) {
  bool ansi_ok = false, oem_ok = false;
  platform::Utf8ToAnsi(name, &ansi_ok);
  std::string oem = platform::Utf8ToOem(name, &oem_ok);
  if (ansi_ok && oem_ok) return {oem, false};
  std::string utf8 = name;
  if (utf8.size() > 255) {
    size_t cut = 255;
    while (cut > 0 && (static_cast<unsigned char>(utf8[cut]) & 0xC0) == 0x80) --cut;
    utf8.resize(cut);
  }
  return {utf8, true};
}

std::string DecodeName(const std::string& stored, bool utf8_flag) {
  const bool valid_utf8 = platform::IsValidUtf8(stored);
  if (utf8_flag && valid_utf8) return stored;
  if (!IsAscii(stored) && valid_utf8) return stored;
  return platform::OemToUtf8(stored);
}

std::optional<std::string> SafeRelativePath(const std::string& name) {
  if (name.empty() || name.find(':') != std::string::npos) return std::nullopt;
  if (name[0] == '/' || name[0] == '\\') return std::nullopt;
  std::string out;
  std::string part;
  auto flush = [&](bool last) {
    if (part == "..") return false;
    if (!part.empty() && part != ".") {
      if (!out.empty() && out.back() != '/') out += '/';
      out += part;
    }
    if (!last && !out.empty() && out.back() != '/') out += '/';
    part.clear();
    return true;
  };
  for (char c : name) {
    if (static_cast<unsigned char>(c) < 0x20) return std::nullopt;  // control characters
    if (c == '/' || c == '\\') {
      if (!flush(false)) return std::nullopt;
    } else {
      part += c;
    }
  }
  if (!flush(true)) return std::nullopt;
  if (out.empty()) return std::nullopt;
  return out;
}

}  // namespace quilvane::archive
