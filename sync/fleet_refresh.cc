#include "sync/fleet_refresh.h"

#include <algorithm>
#include <atomic>
#include <exception>
#include <mutex>
#include <thread>

#include "transfer/ftp_listing.h"

namespace quilvane::sync {
namespace {

// A connection's login costs about as many round trips as reading a few
// receipts: more connections only pay off with more receipts each.
constexpr size_t kTasksPerConnection = 8;

// The tasks not yet taken, shared by the connections.
class TaskQueue {
 public:
  explicit TaskQueue(size_t count) : count_(count) {}

  std::optional<size_t> Take() {
    std::lock_guard lock(mutex_);
    if (!returned_.empty()) {
      const size_t index = returned_.back();
      returned_.pop_back();
      return index;
    }
    if (next_ < count_) return next_++;
    return std::nullopt;
  }

  void GiveBack(size_t index, const std::string& why) {
    std::lock_guard lock(mutex_);
    returned_.push_back(index);
    error_ = why;
  }

  void Failed(const std::string& why) {
    std::lock_guard lock(mutex_);
    error_ = why;
  }

  std::string error() {
    std::lock_guard lock(mutex_);
    return error_;
  }

 private:
  std::mutex mutex_;
  size_t count_;
  size_t next_ = 0;
  std::vector<size_t> returned_;
  std::string error_;
};

// Whether a refusal means the command is not known, so that asking again
// for the next receipt is no use.
bool NotImplemented(const transfer::FtpReplyError& e) {
  return e.code() == 500 || e.code() == 502 || e.code() == 504;
}

ReadOutcome RunTask(transfer::FtpClient& ftp, const ReadTask& task,
                    std::atomic<bool>& facts_refused) {
  ReadOutcome out;
  out.facts = task.listed.facts;
  const std::string& name = task.listed.name;
  if (task.listed.ask_facts && !facts_refused) {
    try {
      const std::uint64_t size = ftp.Size(name);
      if (const auto stamp = transfer::ParseStampText(ftp.ModifiedTime(name))) {
        out.facts = ReceiptFacts{size, *stamp};
      }
    } catch (const transfer::FtpReplyError& e) {
      if (!ftp.connected()) throw;
      if (NotImplemented(e)) facts_refused = true;
    }
    if (task.cached && CacheHolds(*task.cached, out.facts)) {
      out.state = ReadOutcome::State::kFromCache;
      return out;
    }
  }
  try {
    out.bytes = ftp.Get(name, kReceiptReadLimit);
    out.state = ReadOutcome::State::kRead;
  } catch (const transfer::FtpReplyError& e) {
    if (!ftp.connected()) throw;
    out.state = ReadOutcome::State::kRefused;
    out.error = e.what();
  }
  return out;
}

void Work(transfer::FtpClient& ftp, TaskQueue& queue, const std::vector<ReadTask>& tasks,
          std::vector<ReadOutcome>& outcomes, std::atomic<bool>& facts_refused,
          platform::Deadline deadline) {
  while (platform::SteadyClock::now() < deadline) {
    const std::optional<size_t> index = queue.Take();
    if (!index) return;
    try {
      // Each task writes only its own slot.
      outcomes[*index] = RunTask(ftp, tasks[*index], facts_refused);
    } catch (const platform::Error& e) {
      queue.GiveBack(*index, e.what());
      return;
    }
  }
}

}  // namespace

ReadRun ReadReceipts(transfer::FtpClient& first, const OpenReceiptFolder& open,
                     const std::vector<ReadTask>& tasks, int connections,
                     platform::Deadline deadline) {
  ReadRun run;
  run.outcomes.resize(tasks.size());
  TaskQueue queue(tasks.size());
  std::atomic<bool> facts_refused = false;
  const size_t wanted =
      std::clamp<size_t>(tasks.size() / kTasksPerConnection, 1, std::max(connections, 1));
  std::atomic<int> opened = 1;
  std::vector<std::thread> helpers;
  for (size_t i = 1; i < wanted; ++i) {
    helpers.emplace_back([&] {
      transfer::FtpClient ftp;
      try {
        open(ftp);
        ++opened;
        Work(ftp, queue, tasks, run.outcomes, facts_refused, deadline);
      } catch (const std::exception& e) {
        queue.Failed(e.what());
      }
      ftp.Disconnect();
    });
  }
  Work(first, queue, tasks, run.outcomes, facts_refused, deadline);
  for (std::thread& helper : helpers) helper.join();
  // What a helper handed back after the first ran out of tasks.
  if (first.connected()) Work(first, queue, tasks, run.outcomes, facts_refused, deadline);
  run.connection_error = queue.error();
  run.connections = opened;
  return run;
}

}  // namespace quilvane::sync
