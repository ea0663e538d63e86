#include "transfer/ftp_client.h"

#include <gtest/gtest.h>

#include <chrono>

#include "tests/support/temp_dir.h"
#include "tests/transfer/fakes/ftp_script.h"
#include "tests/transfer/fakes/scripted_peer.h"
#include "tests/transfer/test_resolver.h"
#include "transfer/otp.h"

namespace quilvane::transfer {
namespace {

using testing::FtpScript;
using testing::kAnyLine;
using testing::kCloseConnection;
using testing::Login;
using testing::LoopbackResolver;
using testing::PassivePort;
using testing::Quit;
using testing::PeerConnection;
using testing::ScriptedPeer;
using Lines = std::vector<std::string>;
using namespace std::chrono_literals;

// What the data connection carries until the client closes it.
std::string ReadAll(platform::Socket& data) {
  std::string all;
  char buf[65536];
  for (;;) {
    size_t n = data.Read(std::span<char>(buf, sizeof buf));
    if (n == 0) return all;
    all.append(buf, n);
  }
}

FtpClient& Configure(FtpClient& ftp, std::uint16_t port, std::string host = "ftp.test") {
  ftp.set_host(host);
  ftp.set_port(port);
  ftp.set_username("conta@quilvane.test");
  ftp.set_password("mirvex");
  ftp.set_passive(true);
  ftp.set_resolver(LoopbackResolver({"ftp.test"}));
  FtpTimeouts timeouts;
  timeouts.idle = 400ms;
  timeouts.connect = 2000ms;
  ftp.set_timeouts(timeouts);
  return ftp;
}

const Lines kLogin = {"HOST ftp.test", "USER conta@quilvane.test", "PASS mirvex", "FEAT",
                      "TYPE I",        "SYST",                     "TYPE I"};

Lines Concat(Lines a, const Lines& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

TEST(FtpConnectTest, MultiLineGreetingAndHostRefusedStillLogsIn) {
  ScriptedPeer peer([](PeerConnection& c, int) {
    Login("220-Exchange server\r\n\r\n220-second line\r\n   \r\n220 ready")
        .Answer("SYST", "500 SYST not understood")
        .Then(Quit())
        .Play(c);
  });
  FtpClient ftp;
  Configure(ftp, peer.port());
  ftp.Connect();
  EXPECT_EQ(ftp.greeting().code, 220);
  EXPECT_EQ(ftp.greeting().text, (Lines{"Exchange server", "second line", "ready"}));
  EXPECT_EQ(ftp.system_description(), "Unknown");
  EXPECT_TRUE(ftp.capabilities().empty());
  EXPECT_FALSE(ftp.utf8());
  ftp.Disconnect();
  ftp.Disconnect();  // harmless twice
  peer.Join();
  EXPECT_EQ(peer.transcript(), Concat(kLogin, {"QUIT", "<closed>"}));
  EXPECT_TRUE(peer.failures().empty());
}

TEST(FtpConnectTest, LiteralAddressIsBracketedInHost) {
  ScriptedPeer peer([](PeerConnection& c, int) {
    Login().Expecting("HOST", "HOST [127.0.0.1]").Play(c);
  });
  FtpClient ftp;
  Configure(ftp, peer.port(), "127.0.0.1");
  ftp.Connect();
  peer.Join();
  EXPECT_EQ(peer.transcript().front(), "HOST [127.0.0.1]");
}

TEST(FtpConnectTest, DroppedAfterHostReconnectsOnceWithoutHost) {
  ScriptedPeer peer(
      [](PeerConnection& c, int index) {
        if (index == 0) {
          Login("220 ready").Answer("HOST", kCloseConnection).Through("HOST").Play(c);
          return;
        }
        Login("220 ready again")
            .Skip("HOST")
            .Answer("USER", "230 Logged in")
            .Skip("PASS")
            .Answer("SYST", "215 UNIX")
            .Play(c);
      },
      2);
  FtpClient ftp;
  Configure(ftp, peer.port());
  ftp.Connect();
  EXPECT_TRUE(ftp.connected());
  EXPECT_EQ(ftp.system_description(), "UNIX");
  peer.Join();
  EXPECT_EQ(peer.transcript(), (Lines{"HOST ftp.test", "USER conta@quilvane.test", "FEAT",
                                      "TYPE I", "SYST", "TYPE I"}));
  EXPECT_EQ(peer.accepted(), 2);
}

TEST(FtpConnectTest, HostRefusedThenClosedReconnects) {
  ScriptedPeer peer(
      [](PeerConnection& c, int index) {
        if (index == 0) {
          FtpScript{{"", "220 ready"}, {"HOST ftp.test", "530 no virtual host"},
                    {"", kCloseConnection}}
              .Play(c);
          return;
        }
        Login("220 ready")
            .Skip("HOST")
            .Answer("USER", "530 Login incorrect")
            .Through("USER")
            .Then({{kAnyLine, ""}})  // QUIT
            .Play(c);
      },
      2);
  FtpClient ftp;
  Configure(ftp, peer.port());
  try {
    ftp.Connect();
    FAIL() << "login refused";
  } catch (const FtpReplyError& e) {
    EXPECT_EQ(std::string(e.what()), "Login incorrect\r\n");
    EXPECT_EQ(e.code(), 530);
  }
  peer.Join();
  EXPECT_TRUE(peer.failures().empty()) << peer.failures().front();
}

TEST(FtpConnectTest, User230SendsNoPass) {
  ScriptedPeer peer([](PeerConnection& c, int) {
    Login().Answer("HOST", "220 host ok").Answer("USER", "230 No password needed").Skip("PASS").Play(c);
  });
  FtpClient ftp;
  Configure(ftp, peer.port());
  ftp.Connect();
  peer.Join();
  EXPECT_EQ(peer.transcript(),
            (Lines{"HOST ftp.test", "USER conta@quilvane.test", "FEAT", "TYPE I", "SYST", "TYPE I"}));
}

TEST(FtpConnectTest, OneTimePasswordChallengeGetsTheComputedResponse) {
  ScriptedPeer peer([](PeerConnection& c, int) {
    Login()
        .Answer("USER", "331 Response to otp-md5 499 ke1234 required for skey.")
        .Through("PASS")
        .Expecting("PASS", kAnyLine)
        .Play(c);
  });
  FtpClient ftp;
  Configure(ftp, peer.port());
  EXPECT_THROW(ftp.Connect(), platform::Error);  // the script ends after PASS
  peer.Join();
  std::string want =
      "PASS " + OtpResponse({OtpChallenge::Hash::kMd5, 499, "ke1234"}, "mirvex");
  ASSERT_GE(peer.transcript().size(), 3u);
  EXPECT_EQ(peer.transcript()[2], want);
  EXPECT_NE(want, "PASS mirvex");
}

TEST(FtpConnectTest, Pass332FailsAndQuits) {
  ScriptedPeer peer([](PeerConnection& c, int) {
    Login()
        .Answer("HOST", "220 ok")
        .Answer("PASS", "332 Need account for login.")
        .Through("PASS")
        .Then(Quit())
        .Play(c);
  });
  FtpClient ftp;
  Configure(ftp, peer.port());
  try {
    ftp.Connect();
    FAIL() << "332 must fail";
  } catch (const FtpReplyError& e) {
    EXPECT_EQ(std::string(e.what()), "Need account for login.\r\n");
    EXPECT_EQ(e.code(), 332);
  }
  EXPECT_FALSE(ftp.connected());
  peer.Join();
  EXPECT_EQ(peer.transcript(), (Lines{"HOST ftp.test", "USER conta@quilvane.test", "PASS mirvex",
                                      "QUIT", "<closed>"}));
}

TEST(FtpConnectTest, Reply421ClosesAtOnceWithoutQuit) {
  ScriptedPeer peer([](PeerConnection& c, int) {
    Login()
        .Answer("USER", "230 ok")
        .Skip("PASS")
        .Answer("SYST", "421 Service not available, closing control connection.")
        .Through("SYST")
        .Then({{kAnyLine, ""}})  // must be the close, not QUIT
        .Play(c);
  });
  FtpClient ftp;
  Configure(ftp, peer.port());
  try {
    ftp.Connect();
    FAIL();
  } catch (const FtpReplyError& e) {
    EXPECT_EQ(std::string(e.what()), "Service not available, closing control connection.\r\n");
  }
  EXPECT_FALSE(ftp.connected());
  peer.Join();
  EXPECT_EQ(peer.transcript().back(), "<closed>");
  EXPECT_EQ(peer.transcript()[peer.transcript().size() - 2], "SYST");
}

TEST(FtpConnectTest, FeatureLinesSwitchUtf8SendClntAndSiteZone) {
  ScriptedPeer peer([](PeerConnection& c, int) {
    Login()
        .Answer("FEAT", "211-Features:\r\n UTF8\r\n CLNT\r\n PRET\r\n SITE CHMOD;ZONE ;IDLE\r\n211 End")
        .InsertAfter("FEAT", {"CLNT " + FtpClientIdentification(), "200 Noted"})
        .InsertAfter("SYST", {"SITE ZONE", "210 UTC-180"})
        .Play(c);
  });
  FtpClient ftp;
  Configure(ftp, peer.port());
  ftp.Connect();
  EXPECT_TRUE(ftp.utf8());
  EXPECT_EQ(ftp.capabilities(), (Lines{"UTF8", "CLNT", "PRET", "SITE CHMOD;ZONE ;IDLE"}));
  peer.Join();
  EXPECT_EQ(peer.transcript(),
            (Lines{"HOST ftp.test", "USER conta@quilvane.test", "PASS mirvex", "FEAT",
                   "CLNT " + FtpClientIdentification(), "TYPE I", "SYST", "SITE ZONE", "TYPE I"}));
}

TEST(FtpConnectTest, SiteZoneOnlyForTheServersThatKnowIt) {
  struct Case {
    const char* greeting;
    bool zone;
  };
  const Case cases[] = {
      {"220 Serv-U FTP Server v15.1 ready", true},
      {"220-titan ftp server 2019\r\n220 ok", true},
      {"220 BPFTP Server ready", true},
      {"220 Serv-U", false},  // the name needs its blank
      {"220 vsFTPd 3.0.3", false},
  };
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.greeting);
    ScriptedPeer peer([&](PeerConnection& c, int) {
      FtpScript login = Login(tc.greeting).Answer("FEAT", "500 no");
      if (tc.zone) login = login.InsertAfter("SYST", {"SITE ZONE", "210 UTC-180"});
      login.Play(c);
    });
    FtpClient ftp;
    Configure(ftp, peer.port());
    ftp.Connect();
    peer.Join();
    auto t = peer.transcript();
    EXPECT_EQ(std::find(t.begin(), t.end(), "SITE ZONE") != t.end(), tc.zone);
    EXPECT_EQ(t.back(), "TYPE I");
  }
}

TEST(FtpConnectTest, GreetingNot220FailsWithItsText) {
  ScriptedPeer peer([](PeerConnection& c, int) {
    FtpScript{{"", "120 wait\r\n554 go away"}, {kAnyLine, ""}}.Play(c);
  });
  FtpClient ftp;
  Configure(ftp, peer.port());
  EXPECT_THROW(
      {
        try {
          ftp.Connect();
        } catch (const FtpReplyError& e) {
          EXPECT_EQ(std::string(e.what()), "go away\r\n");
          throw;
        }
      },
      FtpReplyError);
  peer.Join();
  EXPECT_EQ(peer.transcript(), (Lines{"<closed>"}));  // no QUIT before a greeting
}

TEST(FtpConnectTest, SilentServerTimesOutWithReadTimedOut) {
  ScriptedPeer peer([](PeerConnection& c, int) {
    Login().Answer("USER", "").Through("USER").Then({{kAnyLine, ""}}).Play(c);  // USER: never answered
  });
  FtpClient ftp;
  Configure(ftp, peer.port());
  auto start = std::chrono::steady_clock::now();
  try {
    ftp.Connect();
    FAIL();
  } catch (const platform::TimeoutError& e) {
    EXPECT_EQ(std::string(e.what()), "Read timed out.");
  }
  EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
}

TEST(FtpConnectTest, EndlessReplyFailsLikeATimeout) {
  ScriptedPeer peer([](PeerConnection& c, int) {
    FtpScript{{"", "220-" + std::string(70 * 1024, 'x')}, {kAnyLine, ""}}.Play(c);
  });
  FtpClient ftp;
  Configure(ftp, peer.port());
  EXPECT_THROW(ftp.Connect(), platform::TimeoutError);
}

TEST(FtpConnectTest, RefusedAndUnknownHostGiveSocketErrorTexts) {
  std::uint16_t closed_port;
  {
    platform::Listener l;
    closed_port = l.port();
  }
  FtpClient ftp;
  Configure(ftp, closed_port);
  try {
    ftp.Connect();
    FAIL();
  } catch (const platform::SocketError& e) {
    EXPECT_EQ(std::string(e.what()), "Socket Error # 10061\r\nConnection refused.");
  }
  ftp.set_host("ftp.nowhere.test");
  try {
    ftp.Connect();
    FAIL();
  } catch (const platform::SocketError& e) {
    EXPECT_EQ(std::string(e.what()), "Socket Error # 11001\r\nHost not found.");
  }
}

TEST(FtpDisconnectTest, UnansweredQuitReturnsAfterAbout100ms) {
  ScriptedPeer peer([](PeerConnection& c, int) {
    Login().Then({{"QUIT", ""}}).Play(c);
    c.ClientClosed(3000ms);
  });
  FtpClient ftp;
  Configure(ftp, peer.port());
  ftp.Connect();
  auto start = std::chrono::steady_clock::now();
  ftp.Disconnect();
  auto took = std::chrono::steady_clock::now() - start;
  EXPECT_GE(took, 90ms);
  EXPECT_LT(took, 600ms);
  EXPECT_FALSE(ftp.connected());
}

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

TEST(FtpListTest, MalformedPasvRepliesFailTheListing) {
  struct Case {
    const char* reply;
    const char* error;
  };
  const Case cases[] = {
      {"227 Entering Passive Mode (127,0,0,1,x1,7)", "'x1' is not a valid integer value"},
      // A name where the address belongs is never looked up.
      {"227 Entering Passive Mode (ftp,example,com,x,4,1)", "Socket Error # 11001\r\nHost not found."},
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

TEST(FtpPutTest, StoresTheFileOnTheDataConnection) {
  testing::TempDir dir;
  std::string content(3 * 1024 * 1024 + 17, '\0');
  for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 7);
  dir.Write("local.zip", content);
  std::string stored;
  ScriptedPeer peer([&](PeerConnection& c, int) {
    PassivePort port;
    Login().Then({{"PASV", port.Reply()}, {"STOR REMOTE.ZIP", ""}}).Play(c);
    auto data_conn = port.Accept();
    c.Send("150 Ok to send data\r\n");
    stored = ReadAll(data_conn);
    c.Send("226 Transfer complete\r\n");
  });
  FtpClient ftp;
  Configure(ftp, peer.port());
  ftp.Connect();
  ftp.Put(dir.File("local.zip"), "REMOTE.ZIP");
  peer.Join();
  EXPECT_EQ(stored.size(), content.size());
  EXPECT_TRUE(stored == content);
}

TEST(FtpPutTest, MissingLocalFileFailsBeforeAnyCommand) {
  testing::TempDir dir;
  ScriptedPeer peer([](PeerConnection& c, int) {
    Login().Then({{"QUIT", ""}}).Play(c);
  });
  FtpClient ftp;
  Configure(ftp, peer.port());
  ftp.Connect();
  try {
    ftp.Put(dir.File("missing.zip"), "");
    FAIL();
  } catch (const platform::Error& e) {
    EXPECT_EQ(std::string(e.what()),
              "Cannot open file \"" + dir.File("missing.zip") + "\". No such file or directory");
  }
  ftp.Disconnect();
  peer.Join();
  EXPECT_TRUE(peer.failures().empty()) << peer.failures().front();
}

TEST(FtpPutTest, DataConnectionBrokenMidwayFailsEvenIfTheServerSays226) {
  testing::TempDir dir;
  dir.Write("big.zip", std::string(16 * 1024 * 1024, 'z'));
  ScriptedPeer peer([&](PeerConnection& c, int) {
    PassivePort port;
    Login().Then({{"PASV", port.Reply()}, {"STOR BIG.ZIP", ""}}).Play(c);
    auto data_conn = port.Accept();
    c.Send("150 Ok to send data\r\n");
    char buf[1024];
    data_conn.Read(std::span<char>(buf, sizeof buf));
    data_conn.Close();  // unread data: the client sees a reset
    c.Send("226 Transfer complete\r\n");
  });
  FtpClient ftp;
  Configure(ftp, peer.port());
  ftp.Connect();
  EXPECT_THROW(ftp.Put(dir.File("big.zip"), "BIG.ZIP"), platform::SocketError);
  EXPECT_TRUE(ftp.connected());  // the final reply was read: the session goes on
}

TEST(FtpPutTest, StorRefusedFailsWithTheReplyText) {
  testing::TempDir dir;
  dir.Write("a.zip", "abc");
  ScriptedPeer peer([&](PeerConnection& c, int) {
    PassivePort port;
    Login().Then({{"PASV", port.Reply()}, {"STOR a.zip", ""}}).Play(c);
    auto data_conn = port.Accept();
    c.Send("553 Could not create file.\r\n");
  });
  FtpClient ftp;
  Configure(ftp, peer.port());
  ftp.Connect();
  try {
    ftp.Put(dir.File("a.zip"), "");
    FAIL();
  } catch (const FtpReplyError& e) {
    EXPECT_EQ(std::string(e.what()), "Could not create file.\r\n");
    EXPECT_EQ(e.code(), 553);
  }
}

}  // namespace
}  // namespace quilvane::transfer
