#include "transfer/ftp_client.h"

#include <gtest/gtest.h>

#include <chrono>

#include "tests/support/temp_dir.h"
#include "tests/transfer/fakes/scripted_peer.h"
#include "tests/transfer/test_resolver.h"
#include "transfer/otp.h"

namespace quilvane::transfer {
namespace {

using testing::LoopbackResolver;
using testing::PeerConnection;
using testing::ScriptedPeer;
using Lines = std::vector<std::string>;
using namespace std::chrono_literals;

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

// The server side of a plain login: HOST ignored, USER/PASS, FEAT with
// `feat` as the reply, TYPE I, SYST, TYPE I.
void ServeLogin(PeerConnection& c, const std::string& feat = "500 FEAT not understood\r\n",
                const std::string& greeting = "220 Exchange ready\r\n") {
  c.Send(greeting);
  c.ReadLine();  // HOST
  c.Send("500 HOST not understood\r\n");
  c.ReadLine();  // USER
  c.Send("331 Password required\r\n");
  c.ReadLine();  // PASS
  c.Send("230 Logged in\r\n");
  c.ReadLine();  // FEAT
  c.Send(feat);
  for (;;) {
    std::string line = c.ReadLine();
    if (line.starts_with("<")) return;  // closed or failed: the test tells
    if (line == "TYPE I" || line.starts_with("CLNT")) {
      c.Send(line.starts_with("CLNT") ? "200 Noted\r\n" : "200 Type set to I\r\n");
      if (line == "TYPE I") break;
    }
  }
  c.ReadLine();  // SYST
  c.Send("215 UNIX Type: L8\r\n");
  std::string next = c.ReadLine();
  if (next == "SITE ZONE") {
    c.Send("210 UTC-180\r\n");
    next = c.ReadLine();
  }
  c.Send("200 Type set to I\r\n");
}

const Lines kLogin = {"HOST ftp.test", "USER conta@quilvane.test", "PASS mirvex", "FEAT",
                      "TYPE I",        "SYST",                     "TYPE I"};

Lines Concat(Lines a, const Lines& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

void ServeQuit(PeerConnection& c) {
  c.Expect("QUIT");
  c.Send("221 Bye\r\n");
  c.ReadLine();  // the close
}

TEST(FtpConnectTest, MultiLineGreetingAndHostRefusedStillLogsIn) {
  ScriptedPeer peer([](PeerConnection& c, int) {
    c.Send("220-Exchange server\r\n\r\n220-second line\r\n   \r\n220 ready\r\n");
    c.ReadLine();
    c.Send("500 HOST not understood\r\n");
    c.ReadLine();
    c.Send("331 Password required\r\n");
    c.ReadLine();
    c.Send("230 Logged in\r\n");
    c.ReadLine();
    c.Send("500 FEAT not understood\r\n");
    c.ReadLine();
    c.Send("200 ok\r\n");
    c.ReadLine();
    c.Send("500 SYST not understood\r\n");
    c.ReadLine();
    c.Send("200 ok\r\n");
    ServeQuit(c);
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
  ScriptedPeer peer([](PeerConnection& c, int) { ServeLogin(c); });
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
          c.Send("220 ready\r\n");
          c.ReadLine();
          c.Close();
          return;
        }
        c.Send("220 ready again\r\n");
        c.ReadLine();
        c.Send("230 Logged in\r\n");
        c.ReadLine();
        c.Send("500 no\r\n");
        c.ReadLine();
        c.Send("200 ok\r\n");
        c.ReadLine();
        c.Send("215 UNIX\r\n");
        c.ReadLine();
        c.Send("200 ok\r\n");
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
          c.Send("220 ready\r\n");
          c.ReadLine();
          c.Send("530 no virtual host\r\n");
          c.Close();
          return;
        }
        c.Send("220 ready\r\n");
        c.Expect("USER conta@quilvane.test");
        c.Send("530 Login incorrect\r\n");
        c.ReadLine();  // QUIT
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
    c.Send("220 ready\r\n");
    c.ReadLine();
    c.Send("220 host ok\r\n");
    c.ReadLine();
    c.Send("230 No password needed\r\n");
    c.ReadLine();
    c.Send("500 no\r\n");
    c.ReadLine();
    c.Send("200 ok\r\n");
    c.ReadLine();
    c.Send("215 UNIX\r\n");
    c.ReadLine();
    c.Send("200 ok\r\n");
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
    c.Send("220 ready\r\n");
    c.ReadLine();
    c.Send("500 no\r\n");
    c.ReadLine();
    c.Send("331 Response to otp-md5 499 ke1234 required for skey.\r\n");
    c.ReadLine();
    c.Send("230 ok\r\n");
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
    c.Send("220 ready\r\n");
    c.ReadLine();
    c.Send("220 ok\r\n");
    c.ReadLine();
    c.Send("331 Password required\r\n");
    c.ReadLine();
    c.Send("332 Need account for login.\r\n");
    ServeQuit(c);
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
    c.Send("220 ready\r\n");
    c.ReadLine();
    c.Send("500 no\r\n");
    c.ReadLine();
    c.Send("230 ok\r\n");
    c.ReadLine();
    c.Send("500 no\r\n");
    c.ReadLine();
    c.Send("200 ok\r\n");
    c.ReadLine();  // SYST
    c.Send("421 Service not available, closing control connection.\r\n");
    c.ReadLine();  // must be the close, not QUIT
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
    ServeLogin(c, "211-Features:\r\n UTF8\r\n CLNT\r\n PRET\r\n SITE CHMOD;ZONE ;IDLE\r\n211 End\r\n");
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
      {"220 Serv-U FTP Server v15.1 ready\r\n", true},
      {"220-titan ftp server 2019\r\n220 ok\r\n", true},
      {"220 BPFTP Server ready\r\n", true},
      {"220 Serv-U\r\n", false},  // the name needs its blank
      {"220 vsFTPd 3.0.3\r\n", false},
  };
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.greeting);
    ScriptedPeer peer([&](PeerConnection& c, int) {
      ServeLogin(c, "500 no\r\n", tc.greeting);
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
    c.Send("120 wait\r\n554 go away\r\n");
    c.ReadLine();
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
    c.Send("220 ready\r\n");
    c.ReadLine();
    c.Send("500 no\r\n");
    c.ReadLine();  // USER: never answered
    c.ReadLine();
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
    c.Send("220-" + std::string(70 * 1024, 'x') + "\r\n");
    c.ReadLine();
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
    ServeLogin(c);
    c.Expect("QUIT");
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

// The server side of "TYPE A", PRET (when offered), PASV, NLST with `data`
// (or the 450 of an empty folder), then "TYPE I".
void ServeList(PeerConnection& c, const std::string& data, bool empty_450 = false) {
  c.Expect("TYPE A");
  c.Send("200 Type set to A\r\n");
  std::string line = c.ReadLine();
  if (line.starts_with("PRET")) {
    c.Send("200 OK\r\n");
    line = c.ReadLine();
  }
  platform::Listener data_listener;
  c.Send("227 Entering Passive Mode " + ScriptedPeer::PasvField(data_listener.port()) + ".\r\n");
  auto data_conn = data_listener.Accept(3000ms);
  c.Expect("NLST");
  if (empty_450) {
    c.Send("450 No files found\r\n");
  } else {
    c.Send("150 Here comes the listing\r\n");
    data_conn.WriteAll(data);
    data_conn.Close();
    c.Send("226 Transfer complete\r\n");
  }
  c.Expect("TYPE I");
  c.Send("200 Type set to I\r\n");
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
      ServeLogin(c);
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
    ServeLogin(c, "211-Features:\r\n UTF8\r\n PRET\r\n211 End\r\n");
    ServeList(c, "PREÇOS.ZIP\r\n");
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
    ServeLogin(c);
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
    ServeLogin(c);
    c.Expect("TYPE A");
    c.Send("200 ok\r\n");
    c.Expect("PASV");
    platform::Listener data_listener;
    c.Send("227 Entering Passive Mode " + ScriptedPeer::PasvField(data_listener.port()) + "\r\n");
    auto data_conn = data_listener.Accept(3000ms);
    c.Expect("NLST");
    c.Send("150 Here it comes\r\n");
    // Neither data nor close: the client gives up, then still reads the
    // transfer's final reply.
    c.ReadLine();
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
      ServeLogin(c);
      c.Expect("TYPE A");
      c.Send("200 ok\r\n");
      c.Expect("PASV");
      c.Send(std::string(tc.reply) + "\r\n");
      c.Expect("TYPE I");
      c.Send("200 ok\r\n");
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

TEST(FtpPassiveTest, ParsesTheAddressField) {
  struct Case {
    std::string line;
    std::string host;
    int port;
  };
  const Case cases[] = {
      {"Entering Passive Mode (203,0,113,5,4,1)", "203.0.113.5", 1025},
      {"Entering Passive Mode (10,0,0,5,195,80).", "10.0.0.5", 50000},
      {"Entering Passive Mode 127,0,0,1,1,2", "127.0.0.1", 258},
      {"=(127,0,0,1,300,-1", "127.0.0.1", (300 & 255) * 256 + 255},
      {"x (1,2,3,4,  5 , 6 )", "1.2.3.4", 5 * 256 + 6},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    PassiveAddress a = ParsePassiveReply(c.line);
    EXPECT_EQ(a.host, c.host);
    EXPECT_EQ(a.port, c.port);
  }
  for (const char* bad : {"(1,2,3,4,5)", "(1,2,3,4,,6)", "(1,2,3,4,99999999999,1)", "no numbers"}) {
    SCOPED_TRACE(bad);
    EXPECT_THROW(ParsePassiveReply(bad), platform::Error);
  }
}

TEST(FtpPassiveTest, PrivateAddressGivesWayToAPublicControlPeer) {
  EXPECT_EQ(ChoosePassiveHost("10.0.0.5", "203.0.113.7"), "203.0.113.7");
  EXPECT_EQ(ChoosePassiveHost("192.168.1.2", "203.0.113.7"), "203.0.113.7");
  EXPECT_EQ(ChoosePassiveHost("172.16.0.1", "203.0.113.7"), "203.0.113.7");
  EXPECT_EQ(ChoosePassiveHost("172.31.0.1", "203.0.113.7"), "203.0.113.7");
  EXPECT_EQ(ChoosePassiveHost("172.32.0.1", "203.0.113.7"), "172.32.0.1");
  EXPECT_EQ(ChoosePassiveHost("172.5.0.1", "203.0.113.7"), "172.5.0.1");  // one digit: routable
  EXPECT_EQ(ChoosePassiveHost("169.254.3.3", "203.0.113.7"), "203.0.113.7");
  EXPECT_EQ(ChoosePassiveHost("203.0.113.5", "198.51.100.1"), "203.0.113.5");
  // A private control peer keeps the reply's host.
  EXPECT_EQ(ChoosePassiveHost("10.0.0.5", "127.0.0.1"), "10.0.0.5");
  EXPECT_EQ(ChoosePassiveHost("127.0.0.1", "192.168.0.1"), "127.0.0.1");
}

TEST(FtpPutTest, StoresTheFileOnTheDataConnection) {
  testing::TempDir dir;
  std::string content(3 * 1024 * 1024 + 17, '\0');
  for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 7);
  dir.Write("local.zip", content);
  std::string stored;
  ScriptedPeer peer([&](PeerConnection& c, int) {
    ServeLogin(c);
    c.Expect("PASV");
    platform::Listener data_listener;
    c.Send("227 Entering Passive Mode " + ScriptedPeer::PasvField(data_listener.port()) + "\r\n");
    c.Expect("STOR REMOTE.ZIP");
    auto data_conn = data_listener.Accept(3000ms);
    c.Send("150 Ok to send data\r\n");
    char buf[65536];
    for (;;) {
      size_t n = data_conn.Read(std::span<char>(buf, sizeof buf));
      if (n == 0) break;
      stored.append(buf, n);
    }
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
    ServeLogin(c);
    c.Expect("QUIT");
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
    ServeLogin(c);
    c.Expect("PASV");
    platform::Listener data_listener;
    c.Send("227 Entering Passive Mode " + ScriptedPeer::PasvField(data_listener.port()) + "\r\n");
    c.Expect("STOR BIG.ZIP");
    auto data_conn = data_listener.Accept(3000ms);
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
    ServeLogin(c);
    c.Expect("PASV");
    platform::Listener data_listener;
    c.Send("227 Entering Passive Mode " + ScriptedPeer::PasvField(data_listener.port()) + "\r\n");
    c.Expect("STOR a.zip");
    auto data_conn = data_listener.Accept(3000ms);
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
