#include "transfer/ftp_client.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>

#include "tests/transfer/fakes/ftp_script.h"
#include "tests/transfer/fakes/scripted_peer.h"
#include "tests/transfer/ftp_test_client.h"
#include "transfer/otp.h"

namespace quilvane::transfer {
namespace {

using testing::Configure;
using testing::FtpScript;
using testing::kAnyLine;
using testing::kCloseConnection;
using testing::Login;
using testing::PeerConnection;
using testing::Quit;
using testing::ScriptedPeer;
using Lines = std::vector<std::string>;
using namespace std::chrono_literals;
const Lines kLogin = {
    "HOST ftp.test", "USER conta@quilvane.test", "PASS mirvex", "FEAT", "TYPE I", "SYST", "TYPE I"};

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
  ScriptedPeer peer(
      [](PeerConnection& c, int) { Login().Expecting("HOST", "HOST [127.0.0.1]").Play(c); });
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
  EXPECT_EQ(peer.transcript(), (Lines{"HOST ftp.test", "USER conta@quilvane.test", "FEAT", "TYPE I",
                                      "SYST", "TYPE I"}));
  EXPECT_EQ(peer.accepted(), 2);
}

TEST(FtpConnectTest, HostRefusedThenClosedReconnects) {
  ScriptedPeer peer(
      [](PeerConnection& c, int index) {
        if (index == 0) {
          FtpScript{
              {"", "220 ready"}, {"HOST ftp.test", "530 no virtual host"}, {"", kCloseConnection}}
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
    Login()
        .Answer("HOST", "220 host ok")
        .Answer("USER", "230 No password needed")
        .Skip("PASS")
        .Play(c);
  });
  FtpClient ftp;
  Configure(ftp, peer.port());
  ftp.Connect();
  peer.Join();
  EXPECT_EQ(peer.transcript(), (Lines{"HOST ftp.test", "USER conta@quilvane.test", "FEAT", "TYPE I",
                                      "SYST", "TYPE I"}));
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
  std::string want = "PASS " + OtpResponse({OtpChallenge::Hash::kMd5, 499, "ke1234"}, "mirvex");
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
        .Answer("FEAT",
                "211-Features:\r\n UTF8\r\n CLNT\r\n PRET\r\n SITE CHMOD;ZONE ;IDLE\r\n211 End")
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
    Login().Answer("USER", "").Through("USER").Then({{kAnyLine, ""}}).Play(c);  // USER: never
                                                                                // answered
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

}  // namespace
}  // namespace quilvane::transfer
