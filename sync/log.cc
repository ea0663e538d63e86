#include "sync/log.h"

#include <cstdint>
#include <cstdio>
#include <optional>

#include "platform/codepage.h"
#include "platform/env.h"
#include "platform/error.h"
#include "platform/file.h"
#include "platform/path.h"
#include "sync/site_files.h"

namespace quilvane::sync {
namespace {

enum class Encoding { kAnsi, kUtf8, kUtf16Le, kUtf16Be };

struct Tail {
  Encoding encoding = Encoding::kAnsi;
  // What completes the last line: "" when it is ended, "\n" after a lone CR.
  std::string missing_break;
};

// Looks only at the mark and the last bytes: the log is never read whole.
Tail Inspect(const std::string& path) {
  Tail tail;
  platform::File f(path, platform::File::Mode::kRead);
  const std::int64_t size = f.Size();
  std::uint8_t head[3] = {0, 0, 0};
  size_t got = 0;
  while (got < 3) {
    const size_t n = f.Read(std::span<std::uint8_t>(head + got, 3 - got));
    if (n == 0) break;
    got += n;
  }
  size_t mark = 0;
  if (got >= 3 && head[0] == 0xEF && head[1] == 0xBB && head[2] == 0xBF) {
    tail.encoding = Encoding::kUtf8, mark = 3;
  } else if (got >= 2 && head[0] == 0xFF && head[1] == 0xFE) {
    tail.encoding = Encoding::kUtf16Le, mark = 2;
  } else if (got >= 2 && head[0] == 0xFE && head[1] == 0xFF) {
    tail.encoding = Encoding::kUtf16Be, mark = 2;
  }
  const std::int64_t body = size - static_cast<std::int64_t>(mark);
  if (body <= 0) return tail;
  const bool wide = tail.encoding == Encoding::kUtf16Le || tail.encoding == Encoding::kUtf16Be;
  const int unit = wide ? 2 : 1;
  if (body < unit) return tail;
  std::uint8_t last[2] = {0, 0};
  f.Seek(size - unit);
  f.ReadExact(std::span<std::uint8_t>(last, static_cast<size_t>(unit)));
  std::uint16_t ch = last[0];
  if (tail.encoding == Encoding::kUtf16Le) ch = static_cast<std::uint16_t>(last[1] << 8 | last[0]);
  if (tail.encoding == Encoding::kUtf16Be) ch = static_cast<std::uint16_t>(last[0] << 8 | last[1]);
  if (ch == '\r') {
    tail.missing_break = "\n";
  } else if (ch != '\n') {
    tail.missing_break = "\r\n";
  }
  return tail;
}

// Every line break of the message becomes CR LF, and the entry ends with one.
std::string Lines(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r') {
      if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
      out += "\r\n";
    } else if (text[i] == '\n') {
      out += "\r\n";
    } else {
      out += text[i];
    }
  }
  out += "\r\n";
  return out;
}

std::string Encode(std::string_view utf8, Encoding e) {
  switch (e) {
    case Encoding::kAnsi:
      return platform::Utf8ToAnsi(utf8);
    case Encoding::kUtf8:
      return std::string(utf8);
    case Encoding::kUtf16Le:
      return platform::Utf8ToUtf16(utf8, false);
    case Encoding::kUtf16Be:
      return platform::Utf8ToUtf16(utf8, true);
  }
  return std::string(utf8);
}

}  // namespace

Log::Log(const std::string& dir, platform::Env& env)
    : path_(platform::WithTrailingSeparator(dir) + kLogFileName), env_(env) {}

void Log::DoSaveLog(std::string_view msg) {
  Tail tail;
  std::optional<std::string> unreadable;
  try {
    if (platform::FileExists(path_)) tail = Inspect(path_);
  } catch (const platform::Error& e) {
    // The message still gets its entry; why the log could not be read
    // follows it.
    unreadable = e.what();
    tail = Tail{};
  }
  const std::string stamp = platform::FormatLogStamp(env_.Now(), env_.Regional());
  const std::string entry = stamp + " - " + std::string(msg);
  if (capture_) capture_->push_back(entry);
  std::string text = tail.missing_break + Lines(entry);
  if (unreadable) text += Lines(stamp + " - " + *unreadable);
  const std::string bytes = Encode(text, tail.encoding);
  {
    platform::File f;
    try {
      f = platform::File(path_, platform::File::Mode::kAppend);
      f.Write(bytes);
      f.Close();
    } catch (const platform::SystemError& e) {
      throw platform::Error(platform::CannotCreateFileText(path_, e.code()));
    }
  }
  if (echo_) {
    std::fprintf(stderr, "%s\n", entry.c_str());
    if (unreadable) std::fprintf(stderr, "%s - %s\n", stamp.c_str(), unreadable->c_str());
  }
}

}  // namespace quilvane::sync
