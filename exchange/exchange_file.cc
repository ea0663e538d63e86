#include "exchange/exchange_file.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <span>

#include "exchange/format.h"
#include "platform/codepage.h"
#include "platform/error.h"
#include "platform/error_kinds.h"
#include "platform/text.h"

namespace quilvane::exchange {
namespace {

constexpr std::size_t kBufferSize = 256 * 1024;

}  // namespace

std::string FormatExchangeDate(platform::DateTime day, const platform::FormatSettings& fs) {
  const platform::CivilDate d = platform::DecodeDate(day);
  char buf[32];
  std::snprintf(buf, sizeof buf, "%02d%c%02d%c%04d", d.day, fs.date_separator, d.month,
                fs.date_separator, d.year);
  return buf;
}

std::optional<platform::DateTime> ParseExchangeDate(std::string_view line, int current_year) {
  char separator = '/';
  for (char c : line) {
    if ((c < '0' || c > '9') && c != ' ') {
      separator = c;
      break;
    }
  }
  return platform::ParseDate(line, platform::DateOrder::kDayMonthYear, separator, current_year);
}

ExchangeFileWriter::ExchangeFileWriter(const std::string& path)
    : file_(path, platform::File::Mode::kCreate) {
  buffer_.reserve(kBufferSize);
}

void ExchangeFileWriter::WriteLine(std::string_view utf8) {
  if (platform::IsAscii(utf8)) {
    buffer_.append(utf8);
  } else {
    buffer_.append(platform::Utf8ToAnsi(utf8));
  }
  buffer_.append(kLineEnd);
  if (buffer_.size() >= kBufferSize) Flush();
}

void ExchangeFileWriter::Flush() {
  if (buffer_.empty()) return;
  file_.Write(buffer_);
  buffer_.clear();
}

void ExchangeFileWriter::Close() {
  Flush();
  file_.Close();
}

ExchangeFileReader::ExchangeFileReader(const std::string& path) {
  try {
    file_ = platform::File(path, platform::File::Mode::kRead);
  } catch (const platform::SystemError& e) {
    if (platform::IsNotFound(e)) throw platform::Error("File not found");
    throw;
  }
  buffer_.resize(kBufferSize);
}

bool ExchangeFileReader::Fill() {
  if (eof_) return false;
  const std::size_t n = file_.Read(std::span<char>(buffer_.data(), buffer_.size()));
  pos_ = 0;
  end_ = n;
  if (n == 0) eof_ = true;
  return n > 0;
}

ExchangeFileReader::Status ExchangeFileReader::ReadLine(std::string& line, std::size_t max_length) {
  line.clear();
  bool any = false;  // a byte of this line was seen (a lone CR counts)
  bool too_long = false;
  while (true) {
    if (pos_ >= end_ && !Fill()) break;
    const char* start = buffer_.data() + pos_;
    const std::size_t avail = end_ - pos_;
    const void* lf = std::memchr(start, '\n', avail);
    const std::size_t take =
        lf ? static_cast<std::size_t>(static_cast<const char*>(lf) - start) : avail;
    if (take > 0) any = true;
    // The runs between CRs, whole: a byte at a time cost more than reading
    // the file.
    for (std::size_t i = 0; i < take;) {
      const void* cr = std::memchr(start + i, '\r', take - i);
      const std::size_t run_end =
          cr ? static_cast<std::size_t>(static_cast<const char*>(cr) - start) : take;
      std::size_t n = run_end - i;
      const std::size_t room = max_length - std::min(max_length, line.size());
      if (n > room) {
        too_long = true;
        n = room;
      }
      line.append(start + i, n);
      i = cr ? run_end + 1 : run_end;
    }
    pos_ += take;
    if (lf) {
      ++pos_;  // the LF
      ++line_number_;
      return too_long ? Status::kTooLong : Status::kLine;
    }
  }
  if (!any) return Status::kEnd;
  ++line_number_;
  return too_long ? Status::kTooLong : Status::kLine;
}

}  // namespace quilvane::exchange
