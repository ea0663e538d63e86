// Guards the upload as the head office runs it: the FTP conversation, the
// archive replaced at once under its final name, and what reaches the log.
#include "transfer/upload.h"

#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <optional>

#include "platform/text.h"
#include "sync/exchange_steps.h"
#include "sync/log.h"
#include "tests/support/expect_error.h"
#include "tests/support/log_reader.h"
#include "tests/support/temp_dir.h"
#include "tests/transfer/fakes/scripted_peer.h"
#include "tests/transfer/test_resolver.h"

namespace quilvane::transfer {
namespace {

using sync::Upload;
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

  // A server's exchange folder after the login: answers CWD, TYPE, PASV with
  // NLST or STOR, RNFR/RNTO and DELE from `files` until QUIT.
  struct Folder {
    std::map<std::string, std::string> files;
    bool case_sensitive = true;
    bool rename_over_existing = true;  // false: RNTO onto a file is refused
    bool cut_stor = false;             // the STOR's data connection breaks: 426
    // What a branch would have found at the final name after each command.
    std::vector<std::string> seen_at_final;
  };

  static std::string Key(const Folder& f, const std::string& name) {
    if (f.case_sensitive) return name;
    for (const auto& [k, v] : f.files) {
      if (platform::EqualsIgnoreAsciiCase(k, name)) return k;
    }
    return name;
  }

  void Serve(PeerConnection& c, Folder& f) {
    c.Send("220 ready\r\n");
    for (const char* reply :
         {"500 no\r\n", "331 pw\r\n", "230 ok\r\n", "211-Features:\r\n MDTM\r\n211 End\r\n",
          "200 ok\r\n", "215 UNIX\r\n", "200 ok\r\n"}) {
      c.ReadLine();
      c.Send(reply);
    }
    std::optional<platform::Listener> data;
    std::string from;
    for (;;) {
      const std::string line = c.ReadLine();
      const std::string arg =
          line.find(' ') == std::string::npos ? "" : line.substr(line.find(' ') + 1);
      if (line == "QUIT") {
        c.Send("221 bye\r\n");
        return;
      } else if (line.starts_with("CWD")) {
        c.Send("250 ok\r\n");
      } else if (line.starts_with("TYPE")) {
        c.Send("200 ok\r\n");
      } else if (line == "PASV") {
        data.emplace();
        c.Send("227 Entering Passive Mode " + ScriptedPeer::PasvField(data->port()) + "\r\n");
      } else if (line == "NLST") {
        auto conn = data->Accept(3000ms);
        c.Send("150 listing\r\n");
        std::string listing;
        for (const auto& [name, bytes] : f.files) listing += name + "\r\n";
        conn.WriteAll(listing);
        conn.Close();
        c.Send("226 done\r\n");
      } else if (line.starts_with("STOR ")) {
        auto conn = data->Accept(3000ms);
        c.Send("150 go\r\n");
        std::string& stored = f.files[Key(f, arg)];
        stored.clear();
        char buf[4096];
        for (size_t n; (n = conn.Read(std::span<char>(buf, sizeof buf))) > 0;) {
          stored.append(buf, f.cut_stor ? n / 2 : n);
          if (f.cut_stor) break;
        }
        conn.Close();
        c.Send(f.cut_stor ? "426 Connection closed; transfer aborted.\r\n" : "226 stored\r\n");
      } else if (line.starts_with("RNFR ")) {
        from = Key(f, arg);
        c.Send(f.files.count(from) ? "350 ready\r\n" : "550 no such file\r\n");
      } else if (line.starts_with("RNTO ")) {
        const std::string to = Key(f, arg);
        if (f.files.count(to) && !f.rename_over_existing) {
          c.Send("550 file exists\r\n");
        } else {
          std::string bytes = f.files[from];
          f.files.erase(from);
          f.files.erase(to);
          f.files[f.case_sensitive ? arg : arg] = bytes;
          c.Send("250 renamed\r\n");
        }
      } else if (line.starts_with("DELE ")) {
        c.Send(f.files.erase(Key(f, arg)) ? "250 deleted\r\n" : "550 no such file\r\n");
      } else {
        c.Send("502 not here\r\n");
      }
      const auto at = f.files.find(Key(f, "12345678000190.ZIP"));
      f.seen_at_final.push_back(at == f.files.end() ? "<none>" : at->second);
    }
  }

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
    Folder folder;
    bool ok;
    std::map<std::string, std::string> after;
    // Only where the server refuses to rename over a file: between its
    // DELE and RNTO the name holds nothing (never part of an archive).
    bool gap = false;
  };
  const auto In = [](std::map<std::string, std::string> files) {
    Folder f;
    f.files = std::move(files);
    return f;
  };
  Folder plain = In({{"12345678000190.ZIP", kOld}, {"a.txt", "x"}});
  Folder first_day = In({{"a.txt", "x"}});
  Folder refuses = In({{"12345678000190.ZIP", kOld}});
  refuses.rename_over_existing = false;
  Folder cut = In({{"12345678000190.ZIP", kOld}});
  cut.cut_stor = true;
  Folder leftover = In({{"12345678000190.ZIP", kOld}, {kLeftover, "half"}});
  Folder lower = In({{"12345678000190.zip", kOld}});
  Folder lower_insensitive = In({{"12345678000190.zip", kOld}});
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
    Folder folder = tc.folder;
    ScriptedPeer peer([&](PeerConnection& c, int) { Serve(c, folder); });
    server_.ftp_port = peer.port();
    testing::TempDir log_dir;
    sync::Log log(log_dir.path(), platform::Env::Default());
    EXPECT_EQ(Upload(ftp_, server_, archive_, log), tc.ok);
    peer.Join();
    EXPECT_TRUE(peer.failures().empty()) << peer.failures().front();
    EXPECT_EQ(folder.files, tc.after);
    for (const auto& seen : folder.seen_at_final) {
      if (seen != "<none>" || (tc.folder.files.count("12345678000190.ZIP") && !tc.gap)) {
        EXPECT_TRUE(seen == kOld || seen == kNew) << "a branch would have found: " << seen;
      }
    }
    const std::string log_text = testing::LogText(log_dir.path());
    if (tc.ok) {
      EXPECT_EQ(log_text, "");
    } else {
      EXPECT_NE(log_text.find(" - Falha ao realizar o upload do arquivo: "), std::string::npos)
          << log_text;
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
  sync::Log log(dir_.path(), platform::Env::Default());
  EXPECT_TRUE(testing::ThrowsWithText<FtpReplyError>([&] { Upload(ftp_, server_, archive_, log); },
                                                     "quilvane: No such file or directory\r\n"));
  EXPECT_FALSE(ftp_.connected());
  peer.Join();
  EXPECT_TRUE(peer.failures().empty()) << peer.failures().front();
  EXPECT_EQ(testing::LogText(dir_.path()), "");
}

TEST_F(UploadTest, SilentServerIsLoggedWithinTheLimit) {
  ScriptedPeer peer([](PeerConnection& c, int) {
    c.Send("220 ready\r\n");
    c.ReadLine();  // HOST, never answered
    c.ClientClosed(3000ms);
  });
  server_.ftp_port = peer.port();
  sync::Log log(dir_.path(), platform::Env::Default());
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(Upload(ftp_, server_, archive_, log));
  EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
  EXPECT_EQ(testing::Count(testing::LogText(dir_.path()),
                           " - Falha ao conectar no FTP: Read timed out.\r\n"),
            1);
}

TEST_F(UploadTest, UnreachableServerIsLoggedAndFalse) {
  {
    platform::Listener l;
    server_.ftp_port = l.port();
  }
  sync::Log log(dir_.path(), platform::Env::Default());
  EXPECT_FALSE(Upload(ftp_, server_, archive_, log));
  std::string text = testing::LogText(dir_.path());
  EXPECT_NE(text.find(" - Falha ao conectar no FTP: Socket Error # 10061\r\nConnection refused."),
            std::string::npos)
      << text;
}

}  // namespace
}  // namespace quilvane::transfer
