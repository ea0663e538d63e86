// Guards the upload as the head office runs it: the FTP conversation, the
// archive replaced at once under its final name, and the step each failure
// names.
#include "transfer/upload.h"

#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <optional>

#include "tests/support/expect_error.h"
#include "tests/support/temp_dir.h"
#include "tests/transfer/fakes/ftp_folder.h"
#include "tests/transfer/fakes/scripted_peer.h"
#include "tests/transfer/ftp_test_client.h"
#include "tests/transfer/test_resolver.h"

namespace quilvane::transfer {
namespace {

using testing::FtpFolder;
using testing::PeerConnection;
using testing::ScriptedPeer;
using Lines = std::vector<std::string>;
using namespace std::chrono_literals;

TEST(UploadNameTest, UpperCasesOnlyAsciiLettersOfTheFileName) {
  EXPECT_EQ(RemoteArchiveName("/opt/quilvane/12345678000190.zip"), "12345678000190.ZIP");
  EXPECT_EQ(RemoteArchiveName("C:\\Quilvane\\abc.zip"), "ABC.ZIP");
  EXPECT_EQ(RemoteArchiveName("D:preço.zip"), "PREçO.ZIP");
}

class UploadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    archive_ = dir_.File("12345678000190.ZIP");
    dir_.Write("12345678000190.ZIP", "PK archive bytes");
    FtpTimeouts t;
    t.idle = 500ms;
    ftp_.set_timeouts(t);
    ftp_.set_resolver(testing::LoopbackResolver({"ftp.test"}));
    server_.ftp_host = "ftp.test";
  }

  std::optional<UploadError> Failure() { return testing::UploadFailure(ftp_, server_, archive_); }

  testing::TempDir dir_;
  std::string archive_;
  FtpClient ftp_;
  ExchangeServer server_;
};

// At every moment a branch finds yesterday's archive or today's, whole; a
// failed upload leaves yesterday's in place and no temporary copy behind.
TEST_F(UploadTest, TheFinalNameOnlyEverHoldsAWholeArchive) {
  const std::string kOld = "yesterday's archive";
  const std::string kNew = "PK archive bytes";
  const std::string kLeftover = "12345678000190.ZIP.00000000deadbeef.tmp";
  struct Case {
    const char* name;
    FtpFolder folder;
    bool ok;
    std::map<std::string, std::string> after;
    // Only where the server refuses to rename over a file: between its
    // DELE and RNTO the name holds nothing (never part of an archive).
    bool gap = false;
  };
  const auto In = [](std::map<std::string, std::string> files) {
    FtpFolder f;
    f.files = std::move(files);
    return f;
  };
  FtpFolder plain = In({{"12345678000190.ZIP", kOld}, {"a.txt", "x"}});
  FtpFolder first_day = In({{"a.txt", "x"}});
  FtpFolder refuses = In({{"12345678000190.ZIP", kOld}});
  refuses.rename_over_existing = false;
  FtpFolder cut = In({{"12345678000190.ZIP", kOld}});
  cut.cut_stor = true;
  FtpFolder leftover = In({{"12345678000190.ZIP", kOld}, {kLeftover, "half"}});
  FtpFolder lower = In({{"12345678000190.zip", kOld}});
  FtpFolder lower_insensitive = In({{"12345678000190.zip", kOld}});
  lower_insensitive.case_sensitive = false;
  const Case cases[] = {
      {"replaced by a rename", plain, true, {{"12345678000190.ZIP", kNew}, {"a.txt", "x"}}},
      {"first day", first_day, true, {{"12345678000190.ZIP", kNew}, {"a.txt", "x"}}},
      {"server refuses renaming over a file", refuses, true, {{"12345678000190.ZIP", kNew}}, true},
      {"store cut off", cut, false, {{"12345678000190.ZIP", kOld}}},
      {"leftover of a cut upload swept", leftover, true, {{"12345678000190.ZIP", kNew}}},
      {"lower-case copy, case-sensitive names", lower, true, {{"12345678000190.ZIP", kNew}}},
      {"lower-case copy, names without case",
       lower_insensitive,
       true,
       {{"12345678000190.ZIP", kNew}}},
  };
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.name);
    FtpFolder folder = tc.folder;
    ScriptedPeer peer([&](PeerConnection& c, int) { ServeFolder(c, folder); });
    server_.ftp_port = peer.port();
    const std::optional<UploadError> error = Failure();
    EXPECT_EQ(!error, tc.ok) << (error ? error->what() : "");
    peer.Join();
    EXPECT_TRUE(peer.failures().empty()) << peer.failures().front();
    EXPECT_EQ(folder.files, tc.after);
    for (const auto& seen : folder.seen_at_final) {
      if (seen != "<none>" || (tc.folder.files.count("12345678000190.ZIP") && !tc.gap)) {
        EXPECT_TRUE(seen == kOld || seen == kNew) << "a branch would have found: " << seen;
      }
    }
    if (error) {
      EXPECT_EQ(error->step(), UploadError::Step::kStore) << error->what();
    }
    // The bytes travel under a temporary name, never the final one.
    for (const auto& line : peer.transcript()) {
      EXPECT_NE(line, "STOR 12345678000190.ZIP");
    }
  }
}

TEST(UploadTemporaryNameTest, UniqueAndRecognisedOnlyForItsOwnArchive) {
  const std::string a = TemporaryRemoteName("1.ZIP");
  const std::string b = TemporaryRemoteName("1.ZIP");
  EXPECT_NE(a, b);
  EXPECT_TRUE(IsTemporaryRemoteName(a, "1.ZIP"));
  EXPECT_TRUE(IsTemporaryRemoteName("1.zip.0123456789ABCDEF.TMP", "1.ZIP"));
  for (const char* other :
       {"1.ZIP", "1.ZIP.tmp", "11.ZIP.0123456789abcdef.tmp", "1.ZIP.0123456789abcdeg.tmp",
        "1.ZIP.0123456789abcdef.tmpx", "x1.ZIP.0123456789abcdef.tmp"}) {
    EXPECT_FALSE(IsTemporaryRemoteName(other, "1.ZIP")) << other;
  }
}

TEST_F(UploadTest, CwdRefusedPassesToTheCallerAfterQuit) {
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
    c.ReadLine();
    c.Send("215 UNIX\r\n");
    c.ReadLine();
    c.Send("200 ok\r\n");
    c.Expect("CWD quilvane");
    c.Send("550 quilvane: No such file or directory\r\n");
    c.Expect("QUIT");
    c.Send("221 bye\r\n");
  });
  server_.ftp_port = peer.port();
  EXPECT_TRUE(testing::ThrowsWithText<FtpReplyError>([&] { Upload(ftp_, server_, archive_); },
                                                     "quilvane: No such file or directory\r\n"));
  EXPECT_FALSE(ftp_.connected());
  peer.Join();
  EXPECT_TRUE(peer.failures().empty()) << peer.failures().front();
}

TEST_F(UploadTest, SilentServerFailsTheConnectionWithinTheLimit) {
  ScriptedPeer peer([](PeerConnection& c, int) {
    c.Send("220 ready\r\n");
    c.ReadLine();  // HOST, never answered
    c.ClientClosed(3000ms);
  });
  server_.ftp_port = peer.port();
  auto start = std::chrono::steady_clock::now();
  const std::optional<UploadError> error = Failure();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
  ASSERT_TRUE(error);
  EXPECT_EQ(error->step(), UploadError::Step::kConnect);
  EXPECT_EQ(std::string(error->what()), "Read timed out.");
}

TEST_F(UploadTest, UnreachableServerFailsTheConnection) {
  {
    platform::Listener l;
    server_.ftp_port = l.port();
  }
  const std::optional<UploadError> error = Failure();
  ASSERT_TRUE(error);
  EXPECT_EQ(error->step(), UploadError::Step::kConnect);
  EXPECT_EQ(std::string(error->what()), "Socket Error # 10061\r\nConnection refused.");
}

}  // namespace
}  // namespace quilvane::transfer
