#pragma once

#include <string>
#include <vector>

#include "platform/file.h"

namespace quilvane::testing {

// The whole log "Quilvane.log" of the folder `dir` (with its trailing
// separator), "" when there is none.
inline std::string LogText(const std::string& dir) {
  const std::string path = dir + "Quilvane.log";
  return platform::FileExists(path) ? platform::ReadFileToString(path) : std::string();
}

// The log's lines without their line breaks.
inline std::vector<std::string> LogLines(const std::string& dir) {
  std::vector<std::string> lines;
  const std::string text = LogText(dir);
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(std::move(line));
    start = end + 1;
  }
  return lines;
}

// How many times `what` occurs in `text`.
inline int Count(const std::string& text, const std::string& what) {
  int n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

}  // namespace quilvane::testing
