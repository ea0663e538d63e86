// Reading the receipts from servers that list them in each of the ways a
// server can (MLSD, LIST, names alone), that stream a receipt forever or
// stall: every case ends with a right page or a clear failure, in time.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <memory>

#include "sync/fleet_ftp.h"
#include "sync/receipt_cache.h"
#include "tests/support/fake_env.h"
#include "tests/support/temp_dir.h"
#include "tests/transfer/fakes/ftp_script.h"
#include "tests/transfer/fakes/scripted_peer.h"

namespace quilvane::sync {
namespace {

using Clock = std::chrono::steady_clock;
constexpr std::int64_t kNow = 1796904000;  // 2026-12-10 12:00:00 UTC

// An exchange server that plays one way of listing on one connection: the
// receipts folder holds `files`, each dated `stamp` (old enough to trust).
struct FolderServer {
  enum class Listing { kMlsd, kList, kNlst };
  Listing listing = Listing::kMlsd;
  bool size_and_mdtm = true;
  std::map<std::string, std::string> files;
  std::string stamp = "20241210083005";
  const std::string list_stamp = "Dec 10  2024";
  std::string endless;  // a receipt that never ends
  std::string stalls;   // a receipt whose data never comes
  std::string odd;      // a receipt whose LIST line fits no format

  void Serve(testing::PeerConnection& c) const {
    c.Send("220 fake\r\n");
    std::unique_ptr<testing::PassivePort> pasv;
    for (;;) {
      const std::string line = c.ReadLine();
      if (line == "<closed>") return;
      const std::string cmd = line.substr(0, line.find(' '));
      const std::string arg =
          line.find(' ') == std::string::npos ? "" : line.substr(cmd.size() + 1);
      const auto file = files.find(arg);
      const bool known = file != files.end() || arg == endless || arg == stalls;
      if (cmd == "USER") {
        c.Send("331 pass\r\n");
      } else if (cmd == "PASS") {
        c.Send("230 in\r\n");
      } else if (cmd == "FEAT") {
        c.Send(listing == Listing::kMlsd
                   ? "211-Features:\r\n MLST type*;size*;modify*;\r\n211 End\r\n"
                   : "211-Features:\r\n SIZE\r\n211 End\r\n");
      } else if (cmd == "TYPE" || cmd == "NOOP") {
        c.Send("200 ok\r\n");
      } else if (cmd == "CWD") {
        c.Send("250 ok\r\n");
      } else if ((cmd == "MDTM" || cmd == "SIZE") && !size_and_mdtm) {
        c.Send("502 not implemented\r\n");
      } else if (cmd == "MDTM" && known) {
        c.Send("213 " + stamp + "\r\n");
      } else if (cmd == "SIZE" && file != files.end()) {
        c.Send("213 " + std::to_string(file->second.size()) + "\r\n");
      } else if (cmd == "PASV") {
        pasv = std::make_unique<testing::PassivePort>();
        c.Send(pasv->Reply() + "\r\n");
      } else if ((cmd == "MLSD" && listing == Listing::kMlsd) ||
                 (cmd == "LIST" && listing != Listing::kNlst) || cmd == "NLST") {
        Send(c, *pasv, Listed(cmd));
      } else if (cmd == "RETR" && file != files.end()) {
        Send(c, *pasv, file->second);
      } else if (cmd == "RETR" && arg == endless) {
        c.Send("150 here it comes\r\n");
        platform::Socket data = pasv->Accept();
        const std::string chunk(64 * 1024, 'A');
        try {
          for (;;) data.WriteAll(chunk, Clock::now() + std::chrono::seconds(5));
        } catch (const platform::Error&) {
          c.Send("426 Connection closed; transfer aborted.\r\n");
        }
      } else if (cmd == "RETR" && arg == stalls) {
        c.Send("150 here it comes\r\n");
        platform::Socket data = pasv->Accept();
        c.ReadLine();  // nothing is sent until the client gives up
        return;
      } else if (cmd == "ABOR") {
        c.Send("225 No transfer to abort.\r\n");
      } else if (cmd == "QUIT") {
        c.Send("221 bye\r\n");
        return;
      } else {
        c.Send("550 no\r\n");
      }
    }
  }

  // The endless receipt first, the stalling one last; their lines carry no
  // facts, so that they are read whatever the cache holds.
  std::string Listed(const std::string& cmd) const {
    const auto bare = [&](const std::string& name) {
      return name.empty() ? "" : (cmd == "NLST" ? "" : "?????????? ") + name + "\r\n";
    };
    std::string text = bare(endless);
    for (const auto& [name, bytes] : files) {
      const std::string size = std::to_string(bytes.size());
      if (cmd == "MLSD") {
        text += "type=file;size=" + size + ";modify=" + stamp + "; " + name + "\r\n";
      } else if (cmd == "LIST" && name == odd) {
        text += bare(name);
      } else if (cmd == "LIST") {
        text += "-rw-r--r-- 1 ftp ftp " + size + " " + list_stamp + " " + name + "\r\n";
      } else {
        text += name + "\r\n";
      }
    }
    return text + bare(stalls);
  }

  static void Send(testing::PeerConnection& c, testing::PassivePort& pasv,
                   const std::string& bytes) {
    c.Send("150 here it comes\r\n");
    platform::Socket data = pasv.Accept();
    data.WriteAll(bytes, Clock::now() + std::chrono::seconds(5));
    data.Close();
    c.Send("226 done\r\n");
  }
};

std::string ReceiptOf(const std::string& cgc, const std::string& outcome) {
  return "recibo=1\r\ncgc=" + cgc +
         "\r\nversao=0.1.0\r\ninicio=2026-12-10T08:30:05-03:00\r\nduracao_ms=5\r\nresultado=" +
         outcome + "\r\n";
}

// One scripted server for the whole test, so that the cache (kept per
// server) carries from one refresh to the next.
class FleetReadTest : public ::testing::Test {
 protected:
  static constexpr int kConnections = 32;

  FleetReadTest()
      : peer_([this](testing::PeerConnection& c, int) { server_.Serve(c); }, kConnections) {
    server_.files["11111111000111.txt"] = ReceiptOf("11.111.111/0001-11", "aplicado");
    server_.files["22222222000122.txt"] = ReceiptOf("22.222.222/0001-22", "falhou");
    options_.cache_path = dir_.File(kReceiptCacheName);
    options_.connections = 1;  // the scripted server plays one connection at a time
    env_.set_utc_now(std::chrono::system_clock::from_time_t(kNow));
    exchange_.ftp_host = "127.0.0.1";
    exchange_.ftp_port = peer_.port();
  }

  ~FleetReadTest() override {
    // The connections the test did not use end the peer at once.
    for (int i = peer_.accepted(); i < kConnections; ++i) {
      try {
        platform::Socket::Connect(platform::Ipv4Address{0x7F000001}, peer_.port(), {},
                                  Clock::now() + std::chrono::seconds(2));
      } catch (const platform::Error&) {
      }
    }
    peer_.Join();
  }

  // One refresh against the server as it is now; the reports by file name.
  std::map<std::string, BranchReport> Refresh() {
    const size_t before = peer_.transcript().size();
    transfer::FtpClient ftp;
    read_ = ReadFleet(ftp, exchange_, "11111111000111.ZIP", env_, options_);
    const std::vector<std::string> all = peer_.transcript();
    transcript_.assign(all.begin() + static_cast<std::ptrdiff_t>(before), all.end());
    EXPECT_EQ(std::vector<std::string>{}, peer_.failures());
    std::map<std::string, BranchReport> reports;
    for (const BranchReport& r : read_.reports) reports.emplace(r.file_name, r);
    return reports;
  }

  size_t Sent(const std::string& command) const {
    size_t n = 0;
    for (const std::string& line : transcript_) n += line.starts_with(command) ? 1 : 0;
    return n;
  }

  static std::string Cgc(const BranchReport& r) {
    return r.parsed.receipt ? r.parsed.receipt->cgc : "<" + r.parsed.error + ">";
  }

  FolderServer server_;
  testing::ScriptedPeer peer_;
  transfer::ExchangeServer exchange_;
  testing::TempDir dir_;
  testing::FakeEnv env_;
  FleetReadOptions options_;
  FleetRead read_;
  std::vector<std::string> transcript_;
};

TEST_F(FleetReadTest, EachListingReadsOnlyWhatChanged) {
  struct Case {
    const char* what;
    FolderServer::Listing listing;
    const char* command;
  };
  const Case cases[] = {
      {"MLSD", FolderServer::Listing::kMlsd, "MLSD"},
      {"LIST only", FolderServer::Listing::kList, "LIST"},
      {"names only, with SIZE and MDTM", FolderServer::Listing::kNlst, "NLST"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::filesystem::remove(options_.cache_path);
    server_.listing = c.listing;
    server_.files["22222222000122.txt"] = ReceiptOf("22.222.222/0001-22", "falhou");
    EXPECT_EQ(2u, Refresh().size());
    EXPECT_EQ(c.command, read_.listing);
    EXPECT_EQ(2u, read_.fetched);

    const auto again = Refresh();
    EXPECT_EQ(0u, read_.fetched);
    EXPECT_EQ(0u, Sent("RETR"));
    ASSERT_EQ(2u, again.size());
    EXPECT_EQ("22.222.222/0001-22", Cgc(again.at("22222222000122.txt")));

    server_.files["22222222000122.txt"] = ReceiptOf("22.222.222/0001-22", "aplicado");
    const auto changed = Refresh();
    EXPECT_EQ(1u, read_.fetched);
    EXPECT_EQ(1u, Sent("RETR 22222222000122.txt"));
    ASSERT_EQ(2u, changed.size());
    EXPECT_EQ(Outcome::kApplied, changed.at("22222222000122.txt").parsed.receipt->outcome);
  }
}

TEST_F(FleetReadTest, WithoutFactsAReceiptIsReadEveryTime) {
  server_.listing = FolderServer::Listing::kNlst;
  server_.size_and_mdtm = false;
  for (int tick = 0; tick < 2; ++tick) {
    EXPECT_EQ(2u, Refresh().size());
    EXPECT_EQ(2u, read_.fetched);
    EXPECT_EQ(1u, Sent("SIZE"));  // not known to the server: not asked again
  }
  // A LIST line that fits no format: that receipt is read every time, by
  // the last word of its line; the others are not.
  server_.listing = FolderServer::Listing::kList;
  server_.size_and_mdtm = true;
  server_.odd = "33333333000133.txt";
  server_.files[server_.odd] = ReceiptOf("33.333.333/0001-33", "aplicado");
  EXPECT_EQ(3u, Refresh().size());
  const auto again = Refresh();
  EXPECT_EQ(1u, read_.fetched);
  EXPECT_EQ(1u, Sent("RETR 33333333000133.txt"));
  ASSERT_EQ(3u, again.size());
  EXPECT_EQ("33.333.333/0001-33", Cgc(again.at("33333333000133.txt")));
}

TEST_F(FleetReadTest, DamagedCacheMeansAFullReadAndARightPage) {
  Refresh();
  // Same size, same stamp, other bytes: only a damaged cache can say this.
  std::string bytes = platform::ReadFileToString(options_.cache_path);
  const size_t at = bytes.find("resultado=falhou");
  ASSERT_NE(std::string::npos, at);
  bytes.replace(at, 16, "resultado=xxxxxx");
  platform::WriteFileAtomically(options_.cache_path, bytes);
  const auto reports = Refresh();
  EXPECT_EQ(2u, read_.fetched);
  ASSERT_EQ(2u, reports.size());
  EXPECT_EQ(Outcome::kFailed, reports.at("22222222000122.txt").parsed.receipt->outcome);
  EXPECT_EQ(EncodeReceiptCache(*LoadReceiptCache(
                options_.cache_path,
                "sincronizador@quilvane.example@127.0.0.1:" + std::to_string(peer_.port()))),
            platform::ReadFileToString(options_.cache_path));
}

TEST_F(FleetReadTest, RemovedReceiptLeavesThePageAndTheCache) {
  Refresh();
  server_.files.erase("22222222000122.txt");
  const auto reports = Refresh();
  EXPECT_EQ(1u, reports.size());
  EXPECT_FALSE(reports.contains("22222222000122.txt"));
  const auto cache =
      LoadReceiptCache(options_.cache_path,
                       "sincronizador@quilvane.example@127.0.0.1:" + std::to_string(peer_.port()));
  ASSERT_TRUE(cache);
  EXPECT_EQ(1u, cache->receipts.size());
  EXPECT_FALSE(cache->receipts.contains("22222222000122.txt"));
}

TEST_F(FleetReadTest, EndlessReceiptIsCutAtItsBoundAndAborted) {
  for (const auto listing : {FolderServer::Listing::kMlsd, FolderServer::Listing::kNlst}) {
    server_.listing = listing;
    server_.endless = "00000000000000.txt";  // listed first: the rest follow on its connection
    const auto t0 = Clock::now();
    const auto reports = Refresh();
    EXPECT_LT(Clock::now() - t0, std::chrono::seconds(5));
    ASSERT_EQ(3u, reports.size());
    EXPECT_FALSE(reports.at("00000000000000.txt").parsed.receipt);
    EXPECT_EQ(1u, Sent("ABOR"));
    EXPECT_EQ("11.111.111/0001-11", Cgc(reports.at("11111111000111.txt")));
    EXPECT_EQ("22.222.222/0001-22", Cgc(reports.at("22222222000122.txt")));
  }
}

TEST_F(FleetReadTest, StalledReceiptEndsTheRefreshWithinItsBudget) {
  options_.budget = std::chrono::milliseconds(1500);
  server_.stalls = "99999999000199.txt";  // listed last
  const auto t0 = Clock::now();
  try {
    Refresh();
    ADD_FAILURE() << "a stalled refresh reported success";
  } catch (const platform::Error& e) {
    EXPECT_NE(std::string::npos, std::string(e.what()).find("tempo esgotado")) << e.what();
    EXPECT_NE(std::string::npos, std::string(e.what()).find("2 de 3 recibos lidos")) << e.what();
  }
  EXPECT_LT(Clock::now() - t0, std::chrono::seconds(4));
  // What was read before the time ran out is not read again.
  server_.stalls.clear();
  EXPECT_EQ(2u, Refresh().size());
  EXPECT_EQ(0u, read_.fetched);
}

}  // namespace
}  // namespace quilvane::sync
