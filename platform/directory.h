#pragma once

#include <string>
#include <vector>

namespace quilvane::platform {

// The names (not paths) of the entries of folder `path`, files and folders,
// without "." and "..", in the order the system gives them; UTF-8. An empty
// `path` is the current folder. Throws SystemError when the folder cannot be
// read.
std::vector<std::string> ListDirectory(const std::string& path);

}  // namespace quilvane::platform
