// The FTP client's listings against scripted servers: names, encodings,
// stalls, the progress rule and malformed passive replies.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "tests/transfer/fakes/ftp_script.h"
#include "tests/transfer/fakes/scripted_peer.h"
#include "tests/transfer/ftp_test_client.h"
#include "transfer/ftp_client.h"

namespace quilvane::transfer {
namespace {

using testing::Configure;
using testing::FtpScript;
using testing::kAnyLine;
using testing::Login;
using testing::PacedTimeouts;
using testing::PassivePort;
using testing::PeerConnection;
using testing::ScriptedPeer;
using Lines = std::vector<std::string>;
using namespace std::chrono_literals;

// The server side of "TYPE A", PRET (when `pret`), PASV, NLST with `data`
// (or the 450 of an empty folder), then "TYPE I".
void ServeList(PeerConnection& c, const std::string& data, bool empty_450 = false,
               bool pret = false) {
  PassivePort port;
  FtpScript start = {{"TYPE A", "200 Type set to A"}, {"PASV", port.Reply() + "."}};
  if (pret) start = start.InsertAfter("TYPE A", {"PRET NLST", "200 OK"});
  start.Play(c);
  auto data_conn = port.Accept();
  if (empty_450) {
    FtpScript{{"NLST", "450 No files found"}}.Play(c);
  } else {
    FtpScript{{"NLST", "150 Here comes the listing"}}.Play(c);
    data_conn.WriteAll(data);
    data_conn.Close();
    FtpScript{{"", "226 Transfer complete"}}.Play(c);
  }
  FtpScript{{"TYPE I", "200 Type set to I"}}.Play(c);
}

struct ListCase {
  const char* name;
  std::string data;
  bool empty_450;
  Lines want;
};

TEST(FtpListTest, SplitsNamesAsTheServerSentThem) {
  const ListCase cases[] = {
      {"crlf", "A.ZIP\r\nB.ZIP\r\n", false, {"A.ZIP", "B.ZIP"}},
      {"no final break", "A.ZIP\nB.ZIP", false, {"A.ZIP", "B.ZIP"}},
      {"lone cr and double break", "A.ZIP\rB.ZIP\n\n C \r\n", false, {"A.ZIP", "B.ZIP", "", " C "}},
      {"empty data", "", false, {}},
      {"450 empty folder", "", true, {}},
  };
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.name);
    ScriptedPeer peer([&](PeerConnection& c, int) {
      Login().Play(c);
      ServeList(c, tc.data, tc.empty_450);
    });
    FtpClient ftp;
    Configure(ftp, peer.port());
    ftp.Connect();
    Lines got = {"stale"};
    ftp.List(got);
    EXPECT_EQ(got, tc.want);
    EXPECT_EQ(ftp.transfer_type(), FtpClient::TransferType::kBinary);
    peer.Join();
    EXPECT_TRUE(peer.failures().empty()) << peer.failures().front();
  }
}

TEST(FtpListTest, Utf8ListingAndPretWhenOffered) {
  ScriptedPeer peer([](PeerConnection& c, int) {
    Login().Answer("FEAT", "211-Features:\r\n UTF8\r\n PRET\r\n211 End").Play(c);
    ServeList(c, "PREÇOS.ZIP\r\n", /*empty_450=*/false, /*pret=*/true);
  });
  FtpClient ftp;
  Configure(ftp, peer.port());
  ftp.Connect();
  Lines got;
  ftp.List(got);
  EXPECT_EQ(got, Lines{"PREÇOS.ZIP"});
  peer.Join();
  auto t = peer.transcript();
  EXPECT_NE(std::find(t.begin(), t.end(), "PRET NLST"), t.end());
}

TEST(FtpListTest, EightBitListingIsLatin1) {
  ScriptedPeer peer([](PeerConnection& c, int) {
    Login().Play(c);
    ServeList(c, "PRE\xC7OS.ZIP\r\n");
  });
  FtpClient ftp;
  Configure(ftp, peer.port());
  ftp.Connect();
  Lines got;
  ftp.List(got);
  EXPECT_EQ(got, Lines{"PREÇOS.ZIP"});
}

TEST(FtpListTest, StalledDataConnectionFailsWithinTheLimit) {
  ScriptedPeer peer([](PeerConnection& c, int) {
    PassivePort port;
    Login().Then({{"TYPE A", "200 ok"}, {"PASV", port.Reply()}}).Play(c);
    auto data_conn = port.Accept();
    // Neither data nor close: the client gives up, then still reads the
    // transfer's final reply.
    FtpScript{{"NLST", "150 Here it comes"}, {kAnyLine, ""}}.Play(c);
  });
  FtpClient ftp;
  Configure(ftp, peer.port());
  ftp.Connect();
  Lines got;
  auto start = std::chrono::steady_clock::now();
  try {
    ftp.List(got);
    FAIL();
  } catch (const platform::TimeoutError& e) {
    // The final reply never came either: that read's failure passes on.
    EXPECT_EQ(std::string(e.what()), "Read timed out.");
  }
  EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
}

TEST(FtpListTest, OverlongListingHasItsOwnError) {
  ScriptedPeer peer([](PeerConnection& c, int) {
    PassivePort port;
    Login().Then({{"TYPE A", "200 ok"}, {"PASV", port.Reply()}}).Play(c);
    auto data_conn = port.Accept();
    FtpScript{{"NLST", "150 Here it comes"}}.Play(c);
    try {
      data_conn.WriteAll(std::string(64 * 1024 * 1024 + 1, 'n'));
    } catch (const platform::Error&) {
      // The client stops reading at its cap.
    }
    data_conn.Close();
    FtpScript{{"", "226 Transfer complete"}, {"TYPE I", "200 ok"}}.Play(c);
  });
  FtpClient ftp;
  Configure(ftp, peer.port());
  // 64 MiB through the loopback: on a loaded machine the peer's writes can
  // pause longer than the tests' short idle limit, which is not what this
  // test is about.
  FtpTimeouts timeouts;
  timeouts.idle = 10s;
  timeouts.connect = 2000ms;
  ftp.set_timeouts(timeouts);
  ftp.Connect();
  Lines got = {"kept"};
  try {
    ftp.List(got);
    FAIL();
  } catch (const platform::TimeoutError& e) {
    FAIL() << "a stall, not a size: " << e.what();
  } catch (const ListingTooLongError& e) {
    EXPECT_EQ(std::string(e.what()), "Listing too long: more than 67108864 bytes.");
  }
  EXPECT_EQ(got, Lines{"kept"});
  EXPECT_EQ(ftp.transfer_type(), FtpClient::TransferType::kBinary);
  peer.Join();
  EXPECT_TRUE(peer.failures().empty()) << peer.failures().front();
}

// A listing served `piece` by `piece`, one per `every`, until the client
// closes the data connection; then the transfer is reported done.
void ServeListingSlowly(PeerConnection& c, const std::string& piece, int pieces,
                        std::chrono::milliseconds every) {
  PassivePort port;
  Login().Then({{"TYPE A", "200 ok"}, {"PASV", port.Reply()}}).Play(c);
  auto data_conn = port.Accept();
  FtpScript{{"NLST", "150 Here it comes"}}.Play(c);
  for (int i = 0; i < pieces; ++i) {
    if (data_conn.WaitReadable(every)) break;  // the client gave up
    data_conn.WriteAll(piece);
  }
  data_conn.Close();
  FtpScript{{"", "226 Transfer complete"}, {"TYPE I", "200 ok"}}.Play(c);
}

TEST(FtpListTest, SlowButSteadyListingOutlastsManyWindows) {
  // 100 bytes every 50 ms for 3 s: ten times the rule, three windows long.
  ScriptedPeer peer([](PeerConnection& c, int) {
    ServeListingSlowly(c, std::string(98, 'n') + "\r\n", 60, 50ms);
  });
  FtpClient ftp;
  Configure(ftp, peer.port());
  ftp.set_timeouts(PacedTimeouts(200));
  ftp.Connect();
  Lines got;
  ftp.List(got);
  EXPECT_EQ(got, Lines(60, std::string(98, 'n')));
}

TEST(FtpListTest, TricklingListingBreaksTheProgressRule) {
  // A byte every 50 ms: never idle, far below the rule.
  ScriptedPeer peer([](PeerConnection& c, int) { ServeListingSlowly(c, "n", 200, 50ms); });
  FtpClient ftp;
  Configure(ftp, peer.port());
  ftp.set_timeouts(PacedTimeouts(200));
  ftp.Connect();
  Lines got;
  auto start = std::chrono::steady_clock::now();
  try {
    ftp.List(got);
    FAIL();
  } catch (const TransferTooSlowError& e) {
    EXPECT_EQ(std::string(e.what()), "Transfer too slow: less than 200 bytes in 1 s.");
  }
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
  EXPECT_TRUE(ftp.connected());  // the final reply was read: the session goes on
}

TEST(FtpListTest, MalformedPasvRepliesFailTheListing) {
  struct Case {
    const char* reply;
    const char* error;
  };
  const Case cases[] = {
      {"227 Entering Passive Mode (127,0,0,1,x1,7)", "'x1' is not a valid integer value"},
      // A name where the address belongs is never looked up.
      {"227 Entering Passive Mode (ftp,example,com,x,4,1)",
       "Socket Error # 11001\r\nHost not found."},
      {"227 Entering Passive Mode (127,0,0,1)", "'' is not a valid integer value"},
  };
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.reply);
    ScriptedPeer peer([&](PeerConnection& c, int) {
      Login().Then({{"TYPE A", "200 ok"}, {"PASV", tc.reply}, {"TYPE I", "200 ok"}}).Play(c);
    });
    FtpClient ftp;
    Configure(ftp, peer.port());
    ftp.Connect();
    Lines got;
    try {
      ftp.List(got);
      FAIL();
    } catch (const platform::Error& e) {
      EXPECT_EQ(std::string(e.what()), tc.error);
    }
    peer.Join();
    EXPECT_TRUE(peer.failures().empty()) << peer.failures().front();
  }
}

}  // namespace
}  // namespace quilvane::transfer
