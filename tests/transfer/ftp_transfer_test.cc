// The FTP client's file transfers against scripted servers: uploads,
// downloads with their bound, and the folder commands.
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
using testing::Login;
using testing::PacedTimeouts;
using testing::PassivePort;
using testing::PeerConnection;
using testing::ReadAll;
using testing::ScriptedPeer;
using namespace std::chrono_literals;

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
