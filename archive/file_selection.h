#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Which files an add operation takes.
namespace quilvane::archive {

// The files that `mask` names, sorted: a path, or a path whose last component
// holds "*" or "?" ("*" any run, "?" one character, ASCII case ignored). A
// relative mask is taken inside `base_dir`. A file qualifies when it is no
// folder, one of its attributes is in `search_attr` (a file without any
// attribute when that asks for the usual ones), neither its path nor its name
// matches `exclusion_mask`, and it is not `archive_path` itself.
std::vector<std::string> FindFiles(const std::string& mask, const std::string& base_dir,
                                   std::uint32_t search_attr, const std::string& exclusion_mask,
                                   const std::string& archive_path);

}  // namespace quilvane::archive
