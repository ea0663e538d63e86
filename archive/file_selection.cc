#include "archive/file_selection.h"

#include <algorithm>

#include "archive/name_rules.h"
#include "platform/directory.h"
#include "platform/error.h"
#include "platform/file.h"
#include "platform/path.h"
#include "platform/text.h"

namespace quilvane::archive {
namespace {

bool HasWildcard(const std::string& s) { return s.find_first_of("*?") != std::string::npos; }

}  // namespace

std::vector<std::string> FindFiles(const std::string& mask, const std::string& base_dir,
                                   std::uint32_t search_attr, const std::string& exclusion_mask,
                                   const std::string& archive_path) {
  std::string full = mask;
  if (!IsAbsolutePath(full) && !base_dir.empty())
    full = platform::WithTrailingSeparator(base_dir) + full;
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
    if (platform::EqualsIgnoreAsciiCase(path, archive_path))
      return false;  // never add the archive to itself
    return exclusion_mask.empty() || !(MatchesMask(path, exclusion_mask) ||
                                       MatchesMask(platform::FileNameOf(path), exclusion_mask));
  };
  std::vector<std::string> found;
  const std::string pattern = platform::FileNameOf(full);
  if (!HasWildcard(pattern)) {
    if (qualifies(full)) found.push_back(full);
    return found;
  }
  const std::string folder = platform::FolderOf(full);
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
