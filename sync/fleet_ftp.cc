#include "sync/fleet_ftp.h"

#include <chrono>

#include "platform/datetime.h"
#include "sync/fleet_listing.h"
#include "sync/fleet_refresh.h"
#include "sync/receipt_cache.h"
#include "transfer/upload.h"

namespace quilvane::sync {
namespace {

void Connect(transfer::FtpClient& ftp, const transfer::ExchangeServer& server) {
  transfer::ConfigureForExchange(ftp, server);
  ftp.Connect();
}

// Runs `work` on a connection in the exchange folder; always disconnects.
template <typename Work>
void InExchangeFolder(transfer::FtpClient& ftp, const transfer::ExchangeServer& server,
                      Work&& work) {
  try {
    Connect(ftp, server);
    ftp.ChangeDir(transfer::kFtpFolder);
    work();
  } catch (...) {
    ftp.Disconnect();
    throw;
  }
  ftp.Disconnect();
}

// Whose receipts a cache holds.
std::string CacheKey(const transfer::ExchangeServer& server) {
  return server.ftp_user + "@" + server.ftp_host + ":" + std::to_string(server.ftp_port);
}

// A client's limits for one refresh, lifted again on every way out: the
// client is the one the service keeps for its uploads.
class DeadlineCap {
 public:
  DeadlineCap(transfer::FtpClient& ftp, platform::Deadline cap) : ftp_(ftp) {
    ftp_.set_deadline_cap(cap);
  }
  ~DeadlineCap() { ftp_.set_deadline_cap(platform::Deadline::max()); }
  DeadlineCap(const DeadlineCap&) = delete;
  DeadlineCap& operator=(const DeadlineCap&) = delete;

 private:
  transfer::FtpClient& ftp_;
};

BranchReport Unreadable(const std::string& name, const std::string& why) {
  BranchReport report{name, {}};
  report.parsed.error = "não foi possível ler o recibo: " + why;
  return report;
}

// The receipts of the folder the client is in, from the cache where it
// still holds; the cache is rewritten from what this read saw.
void ReadReceiptFolder(transfer::FtpClient& ftp, const transfer::ExchangeServer& server,
                       const FleetReadOptions& options, std::int64_t now,
                       platform::Deadline deadline, FleetRead& read) {
  const ReceiptListing listing = ListReceipts(ftp, now);
  read.listing = listing.command;
  read.unread = listing.skipped;
  ReceiptCache old;
  if (!options.cache_path.empty()) {
    old = LoadReceiptCache(options.cache_path, CacheKey(server)).value_or(ReceiptCache{});
  }
  ReceiptCache kept{CacheKey(server), {}};
  std::vector<ReadTask> tasks;
  std::vector<size_t> task_of(listing.receipts.size(), SIZE_MAX);
  for (size_t i = 0; i < listing.receipts.size(); ++i) {
    const ListedReceipt& listed = listing.receipts[i];
    const auto cached = old.receipts.find(listed.name);
    const CachedReceipt* copy = cached == old.receipts.end() ? nullptr : &cached->second;
    if (copy && CacheHolds(*copy, listed.facts)) continue;
    task_of[i] = tasks.size();
    tasks.push_back({listed, copy});
  }
  const ReadRun run = ReadReceipts(
      ftp,
      [&](transfer::FtpClient& more) {
        transfer::ConfigureForExchange(more, server);
        more.set_deadline_cap(deadline);
        more.Connect();
        more.ChangeDir(transfer::kFtpFolder);
        more.ChangeDir(kReceiptFolder);
      },
      tasks, options.connections, deadline);
  read.connections = run.connections;

  size_t not_run = 0;
  for (size_t i = 0; i < listing.receipts.size(); ++i) {
    const std::string& name = listing.receipts[i].name;
    const CachedReceipt* copy = old.receipts.contains(name) ? &old.receipts.at(name) : nullptr;
    if (task_of[i] == SIZE_MAX) {
      kept.receipts.emplace(name, *copy);
      read.reports.push_back(ReadBranchReport(name, copy->bytes));
      continue;
    }
    const ReadOutcome& out = run.outcomes[task_of[i]];
    switch (out.state) {
      case ReadOutcome::State::kNotRun:
        ++not_run;
        if (copy) kept.receipts.emplace(name, *copy);  // still to be compared next time
        break;
      case ReadOutcome::State::kFromCache:
        kept.receipts.emplace(name, *copy);
        read.reports.push_back(ReadBranchReport(name, copy->bytes));
        break;
      case ReadOutcome::State::kRead:
        ++read.fetched;
        if (auto copy_now = AfterRead(copy, out.facts, now, out.bytes)) {
          kept.receipts.emplace(name, std::move(*copy_now));
        }
        read.reports.push_back(ReadBranchReport(name, out.bytes));
        break;
      case ReadOutcome::State::kRefused:
        read.reports.push_back(Unreadable(name, out.error));
        break;
    }
  }
  if (!options.cache_path.empty() && kept != old) {
    try {
      SaveReceiptCache(options.cache_path, kept);
    } catch (const platform::Error& e) {
      read.cache_error = e.what();
    }
  }
  if (not_run == 0) return;
  if (platform::SteadyClock::now() >= deadline) {
    throw platform::Error(
        "tempo esgotado após " +
        std::to_string(std::chrono::duration_cast<std::chrono::seconds>(options.budget).count()) +
        " s; " + std::to_string(listing.receipts.size() - not_run) + " de " +
        std::to_string(listing.receipts.size()) + " recibos lidos, os demais na próxima vez");
  }
  throw platform::Error(run.connection_error.empty() ? "recibos não lidos" : run.connection_error);
}

}  // namespace

void StoreReceiptFile(transfer::FtpClient& ftp, const transfer::ExchangeServer& server,
                      const std::string& local_path, const std::string& name) {
  InExchangeFolder(ftp, server, [&] {
    try {
      ftp.ChangeDir(kReceiptFolder);
    } catch (const transfer::FtpReplyError&) {
      ftp.MakeDir(kReceiptFolder);
      ftp.ChangeDir(kReceiptFolder);
    }
    transfer::PublishFile(ftp, local_path, name);
  });
}

bool IsReceiptName(std::string_view name) {
  if (name.size() < 5 || name.size() > kMaxReceiptName || !name.ends_with(".txt")) return false;
  for (const char c : name) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F || c == '/' || c == '\\') return false;
  }
  return name[0] != '.';
}

FleetRead ReadFleet(transfer::FtpClient& ftp, const transfer::ExchangeServer& server,
                    const std::string& archive_name, platform::Env& env,
                    const FleetReadOptions& options) {
  FleetRead read;
  const platform::Deadline deadline = platform::SteadyClock::now() + options.budget;
  DeadlineCap cap(ftp, deadline);
  InExchangeFolder(ftp, server, [&] {
    try {
      read.published_day = LocalDayOfMdtm(ftp.ModifiedTime(archive_name), UtcOffsetMinutes(env));
    } catch (const transfer::FtpReplyError&) {
      // Never published, or a server without MDTM: the page says so.
    }
    try {
      ftp.ChangeDir(kReceiptFolder);
    } catch (const transfer::FtpReplyError&) {
      return;  // no branch has stored a receipt yet
    }
    ReadReceiptFolder(ftp, server, options, platform::UnixSecondsOf(env.UtcNow()), deadline, read);
  });
  return read;
}

void StoreStatusPage(transfer::FtpClient& ftp, const transfer::ExchangeServer& server,
                     const std::string& local_path) {
  InExchangeFolder(ftp, server, [&] { transfer::PublishFile(ftp, local_path, kStatusPageName); });
}

std::optional<Day> LocalDayOfMdtm(const std::string& mdtm, int utc_offset_minutes) {
  if (mdtm.size() < 14) return std::nullopt;
  int fields[6];
  const int widths[6] = {4, 2, 2, 2, 2, 2};
  size_t at = 0;
  for (int i = 0; i < 6; ++i) {
    int value = 0;
    for (int k = 0; k < widths[i]; ++k, ++at) {
      const char c = mdtm[at];
      if (c < '0' || c > '9') return std::nullopt;
      value = value * 10 + (c - '0');
    }
    fields[i] = value;
  }
  if (mdtm.size() > 14 && mdtm[14] != '.') return std::nullopt;
  const auto date = platform::TryEncodeDate(fields[0], fields[1], fields[2]);
  if (!date || fields[3] > 23 || fields[4] > 59 || fields[5] > 60) return std::nullopt;
  return DayOfDate(*date + (fields[3] * 60.0 + fields[4] + utc_offset_minutes) / 1440.0);
}

int UtcOffsetMinutes(platform::Env& env) {
  return platform::UtcOffsetMinutes(env.Now(), env.UtcNow());
}

}  // namespace quilvane::sync
