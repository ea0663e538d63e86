// Guards the download as the branch runs it: the three addresses, what
// reaches the folder, and the log lines in their order.
#include "transfer/download.h"

#include <gtest/gtest.h>

#include <chrono>

#include "sync/exchange_steps.h"
#include "sync/log.h"
#include "tests/support/expect_error.h"
#include "tests/support/log_reader.h"
#include "tests/support/temp_dir.h"
#include "tests/transfer/fakes/scripted_peer.h"
#include "tests/transfer/test_resolver.h"
#include "transfer/exchange_server.h"

namespace quilvane::transfer {
namespace {

using sync::DownloadFile;
using testing::Count;
using testing::LogText;
using testing::PeerConnection;
using testing::ScriptedPeer;
using namespace std::chrono_literals;

class DownloadTest : public ::testing::Test {
 protected:
  void Use(std::set<std::string> names) {
    http_.set_resolver(testing::LoopbackResolver(std::move(names)));
    HttpTimeouts t;
    t.idle = 500ms;
    http_.set_timeouts(t);
  }

  std::string Source(std::uint16_t port) {
    ExchangeServer s;
    s.web_domain = "web.test";
    s.web_port = port;
    return DownloadSource(s, "12345678000190");
  }

  bool Run(const std::string& source, bool unpack_ok = true) {
    return DownloadFile(
        http_, source, "12345678000190.ZIP", true, dir_.path(),
        [&](const std::string& path) {
          unpacked_path_ = path;
          unpacked_bytes_ = platform::ReadFileToString(path);
          return unpack_ok;
        },
        log_);
  }

  testing::TempDir dir_;
  sync::Log log_{dir_.path(), platform::Env::Default()};
  HttpClient http_;
  std::string unpacked_path_;
  std::string unpacked_bytes_;
};

// Answers every request on every connection with `respond(head)`.
ScriptedPeer::Script Serve(std::function<std::string(const std::string&)> respond) {
  return [respond](PeerConnection& c, int) {
    for (;;) {
      std::string head = c.ReadRequestHead();
      if (head.empty()) break;
      c.Send(respond(head));
    }
  };
}

TEST_F(DownloadTest, FirstAddressServesTheArchive) {
  Use({"www.web.test", "web.test"});
  ScriptedPeer peer(Serve(
      [](const std::string&) { return "HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\nPK\x03\x04"; }));
  EXPECT_TRUE(Run(Source(peer.port())));
  http_.Disconnect();
  peer.Join();
  EXPECT_EQ(unpacked_path_, dir_.File("12345678000190.ZIP"));
  EXPECT_EQ(unpacked_bytes_, "PK\x03\x04");
  EXPECT_FALSE(platform::FileExists(dir_.File("12345678000190.ZIP")));
  std::string log = LogText(dir_.path());
  EXPECT_EQ(Count(log, " - O arquivo baixado existe!!!\r\n"), 1);
  EXPECT_EQ(Count(log, " - Descompactou o arquivo!!!\r\n"), 1);
  EXPECT_EQ(Count(log, "Falha"), 0);
  EXPECT_LT(log.find("existe"), log.find("Descompactou"));
}

TEST_F(DownloadTest, ThirdAddressWhenTheWwwNameDoesNotResolve) {
  Use({"web.test"});
  ScriptedPeer peer(
      Serve([](const std::string&) { return "HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\nzip"; }));
  EXPECT_TRUE(Run(Source(peer.port())));
  http_.Disconnect();
  peer.Join();
  EXPECT_EQ(unpacked_bytes_, "zip");
  ASSERT_EQ(peer.transcript().size(), 1u);
  EXPECT_NE(peer.transcript()[0].find("GET /halvoraquin/quilvane/12345678000190.ZIP HTTP/1.1\r\n"
                                      "Host: web.test:" +
                                      std::to_string(peer.port()) + "\r\n"),
            std::string::npos);
}

TEST_F(DownloadTest, NotFoundEverywhereAsksTheThreeAddressesAndFails) {
  Use({"www.web.test", "web.test"});
  ScriptedPeer peer(Serve([](const std::string&) {
                      return "HTTP/1.1 404 Not Found\r\nContent-Type: text/html\r\n"
                             "Content-Length: 5\r\n\r\n<h1/>";
                    }),
                    2);
  EXPECT_FALSE(Run(Source(peer.port())));
  http_.Disconnect();
  peer.Join();
  std::string port = std::to_string(peer.port());
  auto t = peer.transcript();
  ASSERT_EQ(t.size(), 3u);
  EXPECT_TRUE(t[0].starts_with(
      "GET /halvoraquin/quilvane/12345678000190.ZIP HTTP/1.1\r\nHost: www.web.test:" + port +
      "\r\n"));
  EXPECT_TRUE(t[1].starts_with(
      "GET /halvoraquin/quilvane/web.test:" + port +
      "/halvoraquin/quilvane/12345678000190.ZIP HTTP/1.1\r\nHost: www.web.test:" + port + "\r\n"));
  EXPECT_TRUE(t[2].starts_with(
      "GET /halvoraquin/quilvane/12345678000190.ZIP HTTP/1.1\r\nHost: web.test:" + port + "\r\n"));
  EXPECT_EQ(peer.accepted(), 2);  // attempts 1 and 2 share the keep-alive connection
  std::string log = LogText(dir_.path());
  EXPECT_EQ(Count(log, " - Falha ao realizar o download do arquivo: HTTP/1.1 404 Not Found\r\n"),
            1);
  EXPECT_EQ(Count(log, "existe"), 0);
  EXPECT_EQ(Count(log, "Descompactou"), 0);
  EXPECT_TRUE(unpacked_path_.empty());
  EXPECT_FALSE(platform::FileExists(dir_.File("12345678000190.ZIP")));
}

TEST_F(DownloadTest, BrokenAttemptLeavesNoBytesForTheNextOne) {
  Use({"www.web.test", "web.test"});
  ScriptedPeer peer(
      [](PeerConnection& c, int index) {
        c.ReadRequestHead();
        if (index == 0) {
          c.Send("HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nbroke");
        } else if (index == 1) {
          c.Send("HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n");
          c.ReadRequestHead();
        } else {
          c.Send("HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nwhole");
        }
        c.Close();
      },
      3);
  EXPECT_TRUE(Run(Source(peer.port())));
  peer.Join();
  EXPECT_EQ(unpacked_bytes_, "whole");
}

TEST_F(DownloadTest, FailedUnpackingIsAFailure) {
  Use({"www.web.test"});
  ScriptedPeer peer(
      Serve([](const std::string&) { return "HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\nbad"; }));
  EXPECT_FALSE(Run(Source(peer.port()), /*unpack_ok=*/false));
  http_.Disconnect();
  std::string log = LogText(dir_.path());
  EXPECT_EQ(Count(log, "O arquivo baixado existe!!!"), 1);
  EXPECT_EQ(Count(log, "Descompactou"), 0);
  EXPECT_FALSE(platform::FileExists(dir_.File("12345678000190.ZIP")));
}

TEST_F(DownloadTest, StalledServerEndsInTheLogWithinTheLimits) {
  Use({"www.web.test", "web.test"});
  ScriptedPeer peer(
      [](PeerConnection& c, int) {
        c.ReadRequestHead();
        c.ClientClosed(3000ms);
      },
      3);
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(Run(Source(peer.port())));
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
  EXPECT_EQ(Count(LogText(dir_.path()),
                  " - Falha ao realizar o download do arquivo: Socket Error # 10060\r\n"
                  "Connection timed out.\r\n"),
            1);
}

TEST_F(DownloadTest, UncreatableLocalFileRaisesBeforeAnyRequest) {
  Use({"www.web.test"});
  EXPECT_TRUE(testing::ThrowsWithText<platform::Error>(
      [&] {
        DownloadFile(
            http_, "http://www.web.test:1/x.ZIP", "x.ZIP", true, dir_.File("missing/"),
            [](const std::string&) { return true; }, log_);
      },
      "Cannot create file \"" + dir_.File("missing/x.ZIP") + "\". ", /*prefix=*/true));
  EXPECT_EQ(LogText(dir_.path()), "");
}

}  // namespace
}  // namespace quilvane::transfer
