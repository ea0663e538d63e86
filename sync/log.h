#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/env.h"
#include "platform/logger.h"

namespace quilvane::sync {

// The log "Quilvane.log" in a site's folder: one time-stamped line per entry,
// "DD/MM/YYYY HH:mm:ss - message" with the regional separators, CR LF after
// every line. A log that starts with a UTF-8 or UTF-16 byte-order mark keeps
// that encoding; any other, and a new one, is written in the ANSI code page.
// Entries are appended, so their cost does not grow with the log and the
// earlier lines are never rewritten. Not thread-safe: one writer.
class Log final : public platform::Logger {
 public:
  // `dir` is the folder of the log, with or without a trailing separator;
  // `env` gives the stamp's time and regional separators.
  Log(const std::string& dir, platform::Env& env);

  const std::string& path() const { return path_; }

  // Also copy each entry to standard error (the operator switches do).
  void set_echo(bool echo) { echo_ = echo; }

  // While set, each entry's stamped line is also added to `lines`, even when
  // the log cannot be written: the cycle keeps them for its receipt.
  // nullptr stops it.
  void set_capture(std::vector<std::string>* lines) { capture_ = lines; }

  // Appends one entry. A message of several lines is stamped once. When the
  // existing log cannot be read, the entry is still appended, followed by an
  // entry with that failure's message. Throws platform::Error when the log
  // cannot be written.
  void DoSaveLog(std::string_view msg) override;

 private:
  std::string path_;
  platform::Env& env_;
  bool echo_ = false;
  std::vector<std::string>* capture_ = nullptr;
};

}  // namespace quilvane::sync
