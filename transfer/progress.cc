#include "transfer/progress.h"

#include <algorithm>

namespace quilvane::transfer {

std::string DurationText(std::chrono::milliseconds d) {
  using namespace std::chrono;
  if (d.count() > 0 && d % hours(1) == milliseconds(0)) {
    return std::to_string(duration_cast<hours>(d).count()) + " h";
  }
  if (d.count() > 0 && d % seconds(1) == milliseconds(0)) {
    return std::to_string(duration_cast<seconds>(d).count()) + " s";
  }
  return std::to_string(d.count()) + " ms";
}

namespace {

// `from` + `d`, or the end of time when that does not fit.
platform::Deadline Later(platform::Deadline from, std::chrono::milliseconds d) {
  if (d.count() < 0) return from;
  auto room =
      std::chrono::duration_cast<std::chrono::milliseconds>(platform::Deadline::max() - from);
  return d >= room ? platform::Deadline::max() : from + d;
}

}  // namespace

platform::Deadline CeilingEnd(const ProgressLimits& limits, platform::Deadline begun) {
  return Later(begun, limits.ceiling);
}

ProgressWatch::ProgressWatch(const ProgressLimits& limits, platform::Deadline start,
                             platform::Deadline begun)
    : limits_(limits), ceiling_end_(CeilingEnd(limits, begun)) {
  marks_.push_back({start, 0});
}

void ProgressWatch::Add(std::uint64_t bytes, platform::Deadline now) {
  if (bytes == 0) return;
  total_ = bytes > UINT64_MAX - total_ ? UINT64_MAX : total_ + bytes;
  marks_.push_back({now, total_});
  // A mark the window no longer needs: the bytes after it already reach
  // min_bytes. The last one is always kept.
  while (marks_.size() > 1 && total_ - marks_.front().total >= limits_.min_bytes) {
    marks_.pop_front();
  }
}

platform::Deadline ProgressWatch::deadline() const {
  // The oldest mark is the first whose bytes the window cannot do without:
  // once the window has passed it, the bytes after it are too few.
  platform::Deadline window_end = platform::Deadline::max();
  if (limits_.min_bytes > 0) {
    window_end = Later(marks_.front().at, limits_.window);
  }
  return std::min(window_end, ceiling_end_);
}

void ProgressWatch::CheckAt(platform::Deadline now) const {
  if (now < deadline()) return;
  if (now >= ceiling_end_) {
    throw TransferTooSlowError("Transfer not finished after " + DurationText(limits_.ceiling) +
                               ".");
  }
  throw TransferTooSlowError("Transfer too slow: less than " + std::to_string(limits_.min_bytes) +
                             " bytes in " + DurationText(limits_.window) + ".");
}

}  // namespace quilvane::transfer
