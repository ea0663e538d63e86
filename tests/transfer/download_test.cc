// Guards the download as the branch runs it: the three addresses, what
// reaches the folder, and the log lines in their order.
#include "transfer/download.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>

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

  bool Run(const std::string& source, bool unpack_ok = true,
           const sync::DownloadLimits& limits = {}) {
    return DownloadFile(
        http_, source, "12345678000190.ZIP", true, dir_.path(),
        [&](const std::string& path) {
          unpacked_path_ = path;
          unpacked_bytes_ = platform::ReadFileToString(path);
          return unpack_ok;
        },
        log_, limits);
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

// A peer cannot make the branch store more than its ceiling: past it the
// address fails (whatever Content-Length says, or with none), the next one is
// tried, and nothing is left on disk when all fail. At the ceiling it works.
TEST_F(DownloadTest, BodiesPastTheCeilingFailAndLeaveNothing) {
  constexpr std::uint64_t kMb = 1 << 20;
  struct Case {
    const char* name;
    std::string head;  // the response's header lines
    size_t body_bytes;
    bool ok;
  };
  const Case cases[] = {
      {"exactly the ceiling", "Content-Length: 1048576\r\n", kMb, true},
      {"one byte more", "Content-Length: 1048577\r\n", kMb + 1, false},
      {"no length, ended by the close", "Connection: close\r\n", 3 * kMb, false},
      {"chunked", "Transfer-Encoding: chunked\r\n", 2 * kMb, false},
  };
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.name);
    Use({"www.web.test", "web.test"});
    unpacked_path_.clear();
    const std::string body(tc.body_bytes, 'Z');
    ScriptedPeer peer(
        [&](PeerConnection& c, int) {
          for (;;) {
            if (c.ReadRequestHead().empty()) break;
            std::string reply = "HTTP/1.1 200 OK\r\n" + tc.head + "\r\n";
            if (tc.head.starts_with("Transfer-Encoding")) {
              char size[32];
              std::snprintf(size, sizeof size, "%zx\r\n", body.size());
              reply += size + body + "\r\n0\r\n\r\n";
            } else {
              reply += body;
            }
            try {
              c.Send(reply);
            } catch (const std::exception&) {
              break;  // the client hung up past its ceiling
            }
            if (tc.head.starts_with("Connection: close")) break;
          }
        },
        tc.ok ? 1 : 3);
    sync::DownloadLimits limits;
    limits.max_bytes = kMb;
    const bool ok = Run(Source(peer.port()), true, limits);
    http_.Disconnect();
    peer.Join();
    EXPECT_EQ(ok, tc.ok);
    if (tc.ok) {
      EXPECT_EQ(unpacked_bytes_.size(), kMb);
    } else {
      EXPECT_EQ(unpacked_path_, "");
      EXPECT_FALSE(platform::FileExists(dir_.File("12345678000190.ZIP")));
      EXPECT_NE(LogText(dir_.path())
                    .find("Falha ao realizar o download do arquivo: o arquivo passa "
                          "do limite de 1 MB (TamanhoMaximoMB)"),
                std::string::npos)
          << LogText(dir_.path());
    }
  }
}

// With less room than the margin, no request is made and the log says why.
TEST_F(DownloadTest, TooLittleRoomRequestsNothing) {
  Use({"www.web.test", "web.test"});
  sync::DownloadLimits limits;
  limits.min_free_bytes = std::uint64_t{1} << 62;
  EXPECT_FALSE(Run(Source(1), true, limits));  // nothing listens there: no request may go out
  EXPECT_EQ(unpacked_path_, "");
  // The log is in the ANSI code page: match the unaccented part.
  const std::string log = LogText(dir_.path());
  EXPECT_NE(log.find("Falha ao realizar o download do arquivo: espa"), std::string::npos) << log;
  EXPECT_NE(log.find("o livre insuficiente em "), std::string::npos) << log;
}

}  // namespace
}  // namespace quilvane::transfer
