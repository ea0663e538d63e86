#include "archive/file_selection.h"

#include <algorithm>

#include "archive/name_rules.h"
#include "platform/directory.h"
#include "platform/error.h"
#include "platform/file.h"

namespace quilvane::archive {
namespace {

bool HasWildcard(const std::string& s) { return s.find_first_of("*?") != std::string::npos; }

std::string FolderOf(const std::string& path) {
  const auto slash = path.find_last_of("/\\");
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

}  // namespace

std::string WithTrailingSeparator(std::string dir) {
  if (!dir.empty() && dir.back() != '/' && dir.back() != '\\') dir += platform::PathSeparator();
  return dir;
}

std::vector<std::string> FindFiles(const std::string& mask, const std::string& base_dir,
                                   std::uint32_t search_attr, const std::string& exclusion_mask,
                                   const std::string& archive_path) {
  std::string full = mask;
  if (!IsAbsolutePath(full) && !base_dir.empty()) full = WithTrailingSeparator(base_dir) + full;
  auto qualifies = [&](const std::string& path) {
    if (!platform::FileExists(path)) return false;
    platform::FileInfo info;
    try {
      info = platform::GetFileInfo(path);
    } catch (const platform::Error&) {
      return false;
    }
    if (info.attributes & platform::kAttrDirectory) return false;
    const std::uint32_t attrs = info.attributes;
    const bool selected =
        (attrs & search_attr) != 0 || (attrs == 0 && (search_attr & 0x27) == 0x27);
    if (!selected) return false;
    if (EqualsIgnoreCase(path, archive_path)) return false;  // never add the archive to itself
    return exclusion_mask.empty() ||
           !(MatchesMask(path, exclusion_mask) || MatchesMask(BaseName(path), exclusion_mask));
  };
  std::vector<std::string> found;
  const std::string pattern = BaseName(full);
  if (!HasWildcard(pattern)) {
    if (qualifies(full)) found.push_back(full);
    return found;
  }
  const std::string folder = FolderOf(full);
  std::vector<std::string> names;
  try {
    names = platform::ListDirectory(folder);
  } catch (const platform::Error&) {
    // A folder that cannot be read holds nothing to add.
  }
  for (const std::string& name : names) {
    if (!MatchesMask(name, pattern)) continue;
    const std::string path = folder + name;
    if (qualifies(path)) found.push_back(path);
  }
  std::sort(found.begin(), found.end());
  return found;
}

}  // namespace quilvane::archive
