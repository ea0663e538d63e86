// Guards the download as the branch runs it: the three addresses, what
// reaches the folder, and the error of the last attempt.
#include "transfer/download.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>

#include "platform/file.h"
#include "tests/support/expect_error.h"
#include "tests/support/temp_dir.h"
#include "tests/transfer/fakes/scripted_peer.h"
#include "tests/transfer/test_resolver.h"
#include "transfer/exchange_server.h"

namespace quilvane::transfer {
namespace {

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

  // Downloads into the folder: "" when the archive arrived, else the
  // DownloadError's text.
  std::string Run(const std::string& source, std::uint64_t max_bytes = 0) {
    try {
      Download(http_, source, Local(), max_bytes);
      return "";
    } catch (const DownloadError& e) {
      return e.what();
    }
  }
  std::string Local() const { return dir_.File("12345678000190.ZIP"); }
  std::string Arrived() const { return platform::ReadFileToString(Local()); }

  testing::TempDir dir_;
  HttpClient http_;
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
  EXPECT_EQ(Run(Source(peer.port())), "");
  http_.Disconnect();
  peer.Join();
  EXPECT_EQ(Arrived(), "PK\x03\x04");
  EXPECT_EQ(peer.transcript().size(), 1u);
}

TEST_F(DownloadTest, ThirdAddressWhenTheWwwNameDoesNotResolve) {
  Use({"web.test"});
  ScriptedPeer peer(
      Serve([](const std::string&) { return "HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\nzip"; }));
  EXPECT_EQ(Run(Source(peer.port())), "");
  http_.Disconnect();
  peer.Join();
  EXPECT_EQ(Arrived(), "zip");
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
  EXPECT_EQ(Run(Source(peer.port())), "HTTP/1.1 404 Not Found");
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
  EXPECT_EQ(Run(Source(peer.port())), "");
  peer.Join();
  EXPECT_EQ(Arrived(), "whole");
}

TEST_F(DownloadTest, StalledServerFailsWithinTheLimits) {
  Use({"www.web.test", "web.test"});
  ScriptedPeer peer(
      [](PeerConnection& c, int) {
        c.ReadRequestHead();
        c.ClientClosed(3000ms);
      },
      3);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(Run(Source(peer.port())), "Socket Error # 10060\r\nConnection timed out.");
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
}

TEST_F(DownloadTest, UncreatableLocalFileRaisesBeforeAnyRequest) {
  Use({"www.web.test"});
  EXPECT_TRUE(testing::ThrowsWithText<platform::Error>(
      [&] { Download(http_, "http://www.web.test:1/x.ZIP", dir_.File("missing/x.ZIP")); },
      "Cannot create file \"" + dir_.File("missing/x.ZIP") + "\". ", /*prefix=*/true));
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
    const std::string error = Run(Source(peer.port()), kMb);
    http_.Disconnect();
    peer.Join();
    if (tc.ok) {
      EXPECT_EQ(error, "");
      EXPECT_EQ(Arrived().size(), kMb);
    } else {
      EXPECT_EQ(error, "o arquivo passa do limite de 1 MB (TamanhoMaximoMB)");
      EXPECT_FALSE(platform::FileExists(Local()));
    }
  }
}

}  // namespace
}  // namespace quilvane::transfer
