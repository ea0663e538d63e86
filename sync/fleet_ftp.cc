#include "sync/fleet_ftp.h"

#include <chrono>
#include <cmath>

#include "platform/datetime.h"
#include "transfer/upload.h"

namespace quilvane::sync {
namespace {

// A receipt is at most kMaxReceiptBytes; the margin lets the parser see
// that a longer one was cut rather than take a cut line as whole.
constexpr size_t kReceiptReadLimit = kMaxReceiptBytes + 4096;

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

// Names a receipt can have: no path, a ".txt" end.
bool ReceiptName(const std::string& name) {
  if (name.size() < 5 || name.size() > 200 || !name.ends_with(".txt")) return false;
  return name.find_first_of("/\\") == std::string::npos && name[0] != '.';
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

FleetRead ReadFleet(transfer::FtpClient& ftp, const transfer::ExchangeServer& server,
                    const std::string& archive_name, platform::Env& env) {
  FleetRead read;
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
    std::vector<std::string> names;
    ftp.List(names);
    for (const std::string& name : names) {
      if (!ReceiptName(name)) continue;
      if (read.reports.size() >= kMaxReceipts) {
        ++read.unread;  // counted, so the page can say what it lacks
        continue;
      }
      try {
        read.reports.push_back(ReadBranchReport(name, ftp.Get(name, kReceiptReadLimit)));
      } catch (const transfer::FtpReplyError& e) {
        BranchReport unreadable{name, {}};
        unreadable.parsed.error = std::string("não foi possível ler o recibo: ") + e.what();
        read.reports.push_back(std::move(unreadable));
      }
    }
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
  const double local = *date + (fields[3] * 60.0 + fields[4] + utc_offset_minutes) / 1440.0;
  const platform::CivilDate c = platform::DecodeDate(local);
  return Day{c.year, c.month, c.day};
}

int UtcOffsetMinutes(platform::Env& env) {
  const double utc_days =
      std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count() /
          86400.0 +
      25569.0;
  const double minutes = (env.Now() - utc_days) * 1440.0;
  const long rounded = std::lround(minutes / 15.0) * 15;
  return rounded >= -14 * 60 && rounded <= 14 * 60 ? static_cast<int>(rounded) : 0;
}

}  // namespace quilvane::sync
