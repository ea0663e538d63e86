// The FTP client's data connections: listings and uploads against
// scripted servers.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "tests/support/temp_dir.h"
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
using testing::PassivePort;
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

// The progress rule with its limits made small: `min_bytes` in any second,
// with an idle limit that the slow peers here never reach.
FtpTimeouts PacedTimeouts(std::uint64_t min_bytes) {
  FtpTimeouts t;
  t.connect = 2000ms;
  t.idle = 5000ms;
  t.progress.window = 1000ms;
  t.progress.min_bytes = min_bytes;
  t.progress.ceiling = 30s;
  return t;
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
  ScriptedPeer peer([](PeerConnection& c, int) { Login().Then({{"QUIT", ""}}).Play(c); });
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

// STOR of `size` bytes to a server that reads `piece` bytes per `every`,
// until the end or for `at_most`; then it reports the transfer done.
struct SlowReaderUpload {
  std::size_t size;
  std::size_t piece;
  std::chrono::milliseconds every;
  std::chrono::milliseconds at_most;
};

std::string UploadToSlowReader(const SlowReaderUpload& u, std::uint64_t min_bytes,
                               std::size_t* stored) {
  testing::TempDir dir;
  dir.Write("slow.zip", std::string(u.size, 's'));
  ScriptedPeer peer([&](PeerConnection& c, int) {
    PassivePort port;
    Login().Then({{"PASV", port.Reply()}, {"STOR SLOW.ZIP", ""}}).Play(c);
    auto data_conn = port.Accept();
    c.Send("150 Ok to send data\r\n");
    std::string buf(u.piece, '\0');
    auto end = std::chrono::steady_clock::now() + u.at_most;
    try {
      while (std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(u.every);
        size_t n = data_conn.Read(std::span<char>(buf.data(), buf.size()));
        if (n == 0) break;
        *stored += n;
      }
    } catch (const platform::Error&) {
      // The client broke off.
    }
    c.Send("226 Transfer complete\r\n");
  });
  FtpClient ftp;
  Configure(ftp, peer.port());
  ftp.set_timeouts(PacedTimeouts(min_bytes));
  ftp.Connect();
  try {
    ftp.Put(dir.File("slow.zip"), "SLOW.ZIP");
  } catch (const platform::Error& e) {
    return e.what();
  }
  return "";
}

TEST(FtpPutTest, SteadyUploadPassesAndADrainingServerBreaksTheRule) {
  std::size_t stored = 0;
  // 64 KiB every 10 ms: far above 64 KiB in any second.
  EXPECT_EQ(UploadToSlowReader({4 << 20, 64 << 10, 10ms, 20s}, 64 << 10, &stored), "");
  EXPECT_EQ(stored, std::size_t{4} << 20);
  // 1 KiB every 50 ms once the buffers between the two are full; the
  // server answers 226 after 3 s, when the client has long given up.
  stored = 0;
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(UploadToSlowReader({32 << 20, 1 << 10, 50ms, 3s}, 64 << 10, &stored),
            "Transfer too slow: less than 65536 bytes in 1 s.");
  EXPECT_LT(stored, std::size_t{32} << 20);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
}

// The server side of a RETR that sends `data` on a passive connection,
// then plays `end`: the transfer's final reply and what follows it.
void ServeRetr(PeerConnection& c, const std::string& name, const std::string& data,
               const FtpScript& end = FtpScript{{"", "226 Transfer complete"}}) {
  PassivePort port;
  FtpScript{{"PASV", port.Reply() + "."}}.Play(c);
  FtpScript{{"RETR " + name, "150 Opening data connection"}}.Play(c);
  auto data_conn = port.Accept();
  try {
    data_conn.WriteAll(data);
  } catch (const platform::Error&) {
    // The client stopped reading at its bound and closed.
  }
  data_conn.Close();
  end.Play(c);
}

// A file past the bound is never drained: the client closes the data
// connection and aborts, reads whatever the server answers to that, in
// either order, and the connection serves the next command.
TEST(FtpGetTest, KeepsAtMostTheBoundAndAbortsTheRest) {
  const FtpScript complete{{"", "226 Transfer complete"}};
  const FtpScript aborted{
      {"ABOR", "426 Connection closed; transfer aborted.\r\n226 ABOR command successful."},
      {"NOOP", "200 NOOP ok"}};
  const FtpScript sent_first{
      {"", "226 Transfer complete"}, {"ABOR", "225 No transfer to abort."}, {"NOOP", "200 ok"}};
  const FtpScript abor_unknown{
      {"", "426 Broken pipe"}, {"ABOR", "500 Unknown command."}, {"NOOP", "200 ok"}};
  struct Case {
    const char* name;
    std::string data;
    size_t bound;
    FtpScript end;
    std::string want;
    bool truncated;
  };
  const std::string big(8 << 20, 'x');
  const Case cases[] = {
      {"whole", "cgc=1\r\n", 100, complete, "cgc=1\r\n", false},
      {"exactly the bound", "abcd", 4, complete, "abcd", false},
      {"empty", "", 10, complete, "", false},
      {"cut while the server sends", big, 1000, aborted, std::string(1000, 'x'), true},
      {"cut after the server sent it all", "abcde", 4, sent_first, "abcd", true},
      {"cut, ABOR unknown", big, 1000, abor_unknown, std::string(1000, 'x'), true},
  };
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.name);
    ScriptedPeer peer([&](PeerConnection& c, int) {
      Login().Play(c);
      ServeRetr(c, "1.txt", tc.data, tc.end);
      FtpScript{{"MDTM 1.txt", "213 20231017083005"}}.Play(c);
    });
    FtpClient ftp;
    Configure(ftp, peer.port());
    ftp.Connect();
    bool truncated = !tc.truncated;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(ftp.Get("1.txt", tc.bound, &truncated), tc.want);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
    EXPECT_EQ(truncated, tc.truncated);
    EXPECT_EQ("20231017083005", ftp.ModifiedTime("1.txt"));
    peer.Join();
    EXPECT_TRUE(peer.failures().empty()) << peer.failures().front();
  }
}

TEST(FtpGetTest, MissingFileIsTheServersRefusal) {
  ScriptedPeer peer([](PeerConnection& c, int) {
    Login().Play(c);
    PassivePort port;
    FtpScript{{"PASV", port.Reply() + "."}, {"RETR nada.txt", "550 No such file."}}.Play(c);
  });
  FtpClient ftp;
  Configure(ftp, peer.port());
  ftp.Connect();
  try {
    ftp.Get("nada.txt", 100);
    ADD_FAILURE() << "no error";
  } catch (const FtpReplyError& e) {
    EXPECT_NE(std::string(e.what()).find("No such file"), std::string::npos) << e.what();
  }
}

TEST(FtpFolderTest, MakeDirAndModifiedTime) {
  ScriptedPeer peer([](PeerConnection& c, int) {
    Login().Play(c);
    FtpScript{{"MKD recibos", "257 \"/quilvane/recibos\" directory created."},
              {"MKD recibos", "550 File exists."},
              {"MDTM A.ZIP", "213 20231017083005"},
              {"MDTM B.ZIP", "550 No such file."}}
        .Play(c);
  });
  FtpClient ftp;
  Configure(ftp, peer.port());
  ftp.Connect();
  ftp.MakeDir("recibos");
  EXPECT_THROW(ftp.MakeDir("recibos"), FtpReplyError);
  EXPECT_EQ(ftp.ModifiedTime("A.ZIP"), "20231017083005");
  EXPECT_THROW(ftp.ModifiedTime("B.ZIP"), FtpReplyError);
  peer.Join();
  EXPECT_TRUE(peer.failures().empty()) << peer.failures().front();
}

}  // namespace
}  // namespace quilvane::transfer
