#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "platform/datetime.h"
#include "platform/file.h"
#include "platform/regional.h"

namespace quilvane::exchange {

// Line 1 of the exchange file: `day` as "DD/MM/YYYY" with the regional date
// separator.
std::string FormatExchangeDate(platform::DateTime day, const platform::FormatSettings& fs);

// Reads line 1 as day, month and year (the order the writer always uses)
// separated by any one character that is not a digit or a space, whatever
// the reader's regional order. nullopt when it is not a valid date.
std::optional<platform::DateTime> ParseExchangeDate(std::string_view line, int current_year);

// Writes the exchange file: creates or truncates it, converts each line from
// UTF-8 to Windows-1252 (characters it cannot hold become '?') and ends it
// with CR LF, through a buffer. Close() flushes and reports; the destructor
// closes silently.
class ExchangeFileWriter {
 public:
  explicit ExchangeFileWriter(const std::string& path);
  ExchangeFileWriter(const ExchangeFileWriter&) = delete;
  ExchangeFileWriter& operator=(const ExchangeFileWriter&) = delete;

  void WriteLine(std::string_view utf8);
  void Close();

 private:
  void Flush();

  platform::File file_;
  std::string buffer_;
};

// Reads the exchange file one line at a time, never the whole file: a line is
// the bytes up to the next LF, with every CR dropped; the last line may end at
// the end of the file. Bytes are returned as stored (Windows-1252).
class ExchangeFileReader {
 public:
  enum class Status {
    kLine,     // `line` holds the next line
    kTooLong,  // the line is longer than the limit; `line` holds its start
    kEnd,      // no more lines
  };

  // Throws platform::Error "File not found" when the file does not exist,
  // platform::SystemError for other failures.
  explicit ExchangeFileReader(const std::string& path);

  // Reads the next line into `line`, keeping at most `max_length` bytes of it
  // (the rest of a longer line is skipped, not held).
  Status ReadLine(std::string& line, std::size_t max_length);

  // The number (from 1) of the line read last.
  int line_number() const { return line_number_; }

 private:
  bool Fill();

  platform::File file_;
  std::string buffer_;
  std::size_t pos_ = 0;
  std::size_t end_ = 0;
  bool eof_ = false;
  int line_number_ = 0;
};

}  // namespace quilvane::exchange
