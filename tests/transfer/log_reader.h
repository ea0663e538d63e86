#pragma once

#include <string>

#include "platform/file.h"

namespace quilvane::testing {

// The whole log of a folder, "" when there is none.
inline std::string LogText(const std::string& dir) {
  std::string path = dir + "Quilvane.log";
  return platform::FileExists(path) ? platform::ReadFileToString(path) : std::string();
}

inline int Count(const std::string& text, const std::string& what) {
  int n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

}  // namespace quilvane::testing
