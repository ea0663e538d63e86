// The receipts read from the real exchange server (pyftpdlib, which offers
// MLSD) that scripts/servers starts: a full read on several connections,
// then only what changed.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>

#include "platform/file.h"
#include "sync/fleet_ftp.h"
#include "sync/receipt_cache.h"
#include "tests/support/fake_env.h"
#include "tests/support/temp_dir.h"

namespace quilvane::sync {
namespace {

namespace fs = std::filesystem;

std::string Env(const char* name) {
  const char* v = std::getenv(name);
  return v ? v : "";
}

std::string ReceiptOf(int i, const std::string& outcome) {
  return "recibo=1\r\ncgc=" + std::to_string(10000000 + i) +
         "\r\nversao=0.1.0\r\ninicio=2026-12-10T08:30:05-03:00\r\nduracao_ms=5\r\nresultado=" +
         outcome + "\r\n";
}

std::string NameOf(int i) { return std::to_string(10000000000000 + i) + ".txt"; }

class IntegrationFleetRead : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string port = Env("QUILVANE_FTP_PORT");
    const std::string exchange = Env("QUILVANE_EXCHANGE_DIR");
    ASSERT_TRUE(!port.empty() && !exchange.empty()) << "start the servers with scripts/servers";
    recibos_ = exchange + "/recibos/";
    fs::remove_all(recibos_);
    fs::create_directories(recibos_);
    server_.ftp_host = "127.0.0.1";
    server_.ftp_port = std::stoi(port);
    server_.ftp_user = Env("QUILVANE_FTP_USER").empty() ? "quilvane" : Env("QUILVANE_FTP_USER");
    options_.cache_path = dir_.File(kReceiptCacheName);
    env_.set_utc_now(std::chrono::system_clock::now());  // the clock that stamps the files
  }
  void TearDown() override { fs::remove_all(recibos_); }

  // A receipt as a branch leaves it, dated `age` ago.
  void Put(int i, const std::string& outcome, std::chrono::seconds age) {
    const std::string path = recibos_ + NameOf(i);
    platform::WriteFileAtomically(path, ReceiptOf(i, outcome));
    fs::last_write_time(path, fs::file_time_type::clock::now() - age);
  }

  std::map<std::string, BranchReport> Refresh() {
    transfer::FtpClient ftp;
    read_ = ReadFleet(ftp, server_, "NADA.ZIP", env_, options_);
    std::map<std::string, BranchReport> reports;
    for (const BranchReport& r : read_.reports) reports.emplace(r.file_name, r);
    return reports;
  }

  std::string recibos_;
  transfer::ExchangeServer server_;
  testing::TempDir dir_;
  testing::FakeEnv env_;
  FleetReadOptions options_;
  FleetRead read_;
};

TEST_F(IntegrationFleetRead, FullReadOnFourConnectionsThenOnlyWhatChanged) {
  constexpr int kBranches = 60;
  constexpr auto kOld = std::chrono::hours(48);
  for (int i = 0; i < kBranches; ++i) Put(i, "aplicado", kOld);
  EXPECT_EQ(static_cast<size_t>(kBranches), Refresh().size());
  EXPECT_EQ("MLSD", read_.listing);
  EXPECT_EQ(static_cast<size_t>(kBranches), read_.fetched);
  EXPECT_EQ(kMaxReadConnections, read_.connections);

  EXPECT_EQ(static_cast<size_t>(kBranches), Refresh().size());
  EXPECT_EQ(0u, read_.fetched);

  for (int i = 0; i < 5; ++i) Put(i, "falhou", kOld);
  fs::remove(recibos_ + NameOf(kBranches - 1));
  const auto reports = Refresh();
  EXPECT_EQ(5u, read_.fetched);
  ASSERT_EQ(static_cast<size_t>(kBranches - 1), reports.size());
  EXPECT_FALSE(reports.contains(NameOf(kBranches - 1)));
  for (int i = 0; i < kBranches - 1; ++i) {
    ASSERT_TRUE(reports.at(NameOf(i)).parsed.receipt) << i;
    EXPECT_EQ(i < 5 ? Outcome::kFailed : Outcome::kApplied,
              reports.at(NameOf(i)).parsed.receipt->outcome)
        << i;
  }
}

// A branch that writes its receipt again within the same second and with
// the same size shows nothing new in the listing: such a fresh copy is not
// trusted until its stamp's second is surely over.
TEST_F(IntegrationFleetRead, RewriteWithTheSameSizeAndStampIsFetchedAnyway) {
  Put(1, "aplicado", std::chrono::seconds(0));
  const auto stamp = fs::last_write_time(recibos_ + NameOf(1));
  const auto first = Refresh();
  ASSERT_TRUE(first.at(NameOf(1)).parsed.receipt);
  EXPECT_EQ("0.1.0", first.at(NameOf(1)).parsed.receipt->version);
  std::string bytes = ReceiptOf(1, "aplicado");
  bytes.replace(bytes.find("versao=0.1.0"), 12, "versao=0.2.0");
  platform::WriteFileAtomically(recibos_ + NameOf(1), bytes);
  fs::last_write_time(recibos_ + NameOf(1), stamp);
  const auto again = Refresh();
  ASSERT_TRUE(again.at(NameOf(1)).parsed.receipt);
  EXPECT_EQ("0.2.0", again.at(NameOf(1)).parsed.receipt->version);
  EXPECT_EQ(1u, read_.fetched);
}

// A receipt of megabytes is cut at its bound (its whole lines before the
// bound still read) and the transfer aborted; pyftpdlib's answers to ABOR
// are read to their end, so the same connection goes on with the next one.
TEST_F(IntegrationFleetRead, HugeReceiptIsCutAndTheConnectionGoesOn) {
  options_.connections = 1;
  platform::WriteFileAtomically(recibos_ + "00000000000000.txt",
                                ReceiptOf(0, "aplicado") + std::string(64 << 20, 'A'));
  Put(1, "aplicado", std::chrono::hours(48));
  const auto reports = Refresh();
  ASSERT_EQ(2u, reports.size());
  ASSERT_TRUE(reports.at("00000000000000.txt").parsed.receipt);
  EXPECT_EQ("10000000", reports.at("00000000000000.txt").parsed.receipt->cgc);
  ASSERT_TRUE(reports.at(NameOf(1)).parsed.receipt);
  EXPECT_EQ("10000001", reports.at(NameOf(1)).parsed.receipt->cgc);
  EXPECT_EQ(2u, read_.fetched);
}

}  // namespace
}  // namespace quilvane::sync
