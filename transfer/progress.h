#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>

#include "platform/error.h"
#include "platform/socket.h"

namespace quilvane::transfer {

// The progress rule of a bulk transfer (an HTTP response, an FTP listing or
// upload). A slow but steady link passes however long it takes; a peer that
// trickles a byte now and then fails. The idle limit of the socket still
// applies beside it.
struct ProgressLimits {
  // Fewer than `min_bytes` moved in any `window` fails the transfer.
  std::chrono::milliseconds window{60000};
  std::uint64_t min_bytes = 1024;
  // The whole operation, however steady, ends after this long.
  std::chrono::milliseconds ceiling{std::chrono::hours(4)};
};

// When an operation begun at `begun` reaches its ceiling.
platform::Deadline CeilingEnd(const ProgressLimits& limits, platform::Deadline begun);

// A transfer that broke its progress rule. A TimeoutError, so callers that
// treat stalls alike keep doing so; what() names the rule that was broken.
class TransferTooSlowError : public platform::TimeoutError {
 public:
  using platform::TimeoutError::TimeoutError;
};

// Watches one transfer against its ProgressLimits. Pure: the caller passes
// the clock readings, so the rule is tested without waiting.
class ProgressWatch {
 public:
  // The first window opens at `start`; the ceiling counts from `begun`
  // (the start of the whole operation, which may be earlier).
  ProgressWatch(const ProgressLimits& limits, platform::Deadline start, platform::Deadline begun);

  // Records `bytes` moved at `now`.
  void Add(std::uint64_t bytes, platform::Deadline now);

  // The time by which more bytes must have moved: the end of the window
  // that would otherwise hold fewer than min_bytes, or the ceiling.
  platform::Deadline deadline() const;

  // Throws TransferTooSlowError when `now` is at or past deadline().
  void CheckAt(platform::Deadline now) const;

 private:
  struct Mark {
    platform::Deadline at;
    std::uint64_t total;  // bytes moved up to and including this mark
  };

  ProgressLimits limits_;
  platform::Deadline ceiling_end_;
  std::uint64_t total_ = 0;
  // Oldest first: the first mark whose bytes the window still needs (the
  // start until min_bytes have moved) and every later one, so at most
  // min_bytes + 1 of them.
  std::deque<Mark> marks_;
};

// "60 s", "300 ms", "4 h": a limit as the error texts show it.
std::string DurationText(std::chrono::milliseconds d);

}  // namespace quilvane::transfer
