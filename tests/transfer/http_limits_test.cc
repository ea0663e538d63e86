// The HTTP client's limits: the progress rule on a slow body, the ceiling,
// oversized heads, and the connection that never comes.
#include <gtest/gtest.h>

#include <chrono>

#include "tests/transfer/fakes/scripted_peer.h"
#include "tests/transfer/http_test_client.h"
#include "transfer/http_client.h"

namespace quilvane::transfer {
namespace {

using testing::Configure;
using testing::Fetch;
using testing::Get;
using testing::Head;
using testing::PeerConnection;
using testing::ScriptedPeer;
using testing::Url;
using namespace std::chrono_literals;

// The progress rule with its limits made small: 200 bytes in any second.
HttpTimeouts PacedTimeouts(std::chrono::milliseconds ceiling = 30s) {
  HttpTimeouts t;
  t.connect = 2000ms;
  t.idle = 5000ms;
  t.progress.window = 1000ms;
  t.progress.min_bytes = 200;
  t.progress.ceiling = ceiling;
  return t;
}

// Sends the head of a body of `pieces` times `piece`, one piece per
// `every`, until the client goes.
void ServeSlowly(PeerConnection& c, const std::string& piece, int pieces,
                 std::chrono::milliseconds every) {
  c.ReadRequestHead();
  c.Send("HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(piece.size() * pieces) +
         "\r\n\r\n");
  for (int i = 0; i < pieces && !c.ClientClosed(every); ++i) c.Send(piece);
  c.ClientClosed(3000ms);
}

TEST(HttpGetTest, SlowButSteadyBodyOutlastsManyWindows) {
  // 100 bytes every 50 ms for 3 s: ten times the rule, three windows long.
  ScriptedPeer peer(
      [](PeerConnection& c, int) { ServeSlowly(c, std::string(100, 'b'), 60, 50ms); });
  HttpClient http;
  Configure(http);
  http.set_timeouts(PacedTimeouts());
  Fetch f = Get(http, Url(peer.port()));
  EXPECT_EQ(f.error, "");
  EXPECT_EQ(f.body, std::string(6000, 'b'));
}

TEST(HttpGetTest, TricklingServerBreaksTheProgressRule) {
  // A byte every 50 ms: never idle, far below the rule.
  ScriptedPeer peer([](PeerConnection& c, int) { ServeSlowly(c, "x", 200, 50ms); });
  HttpClient http;
  Configure(http);
  http.set_timeouts(PacedTimeouts());
  auto start = std::chrono::steady_clock::now();
  Fetch f = Get(http, Url(peer.port()));
  EXPECT_EQ(f.error, "Transfer too slow: less than 200 bytes in 1 s.");
  EXPECT_GE(std::chrono::steady_clock::now() - start, 950ms);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
  EXPECT_FALSE(http.connected());
}

TEST(HttpGetTest, SteadyBodyStillEndsAtTheCeiling) {
  ScriptedPeer peer(
      [](PeerConnection& c, int) { ServeSlowly(c, std::string(100, 'b'), 40, 50ms); });
  HttpClient http;
  Configure(http);
  http.set_timeouts(PacedTimeouts(/*ceiling=*/700ms));
  auto start = std::chrono::steady_clock::now();
  Fetch f = Get(http, Url(peer.port()));
  EXPECT_EQ(f.error, "Transfer not finished after 700 ms.");
  EXPECT_LT(std::chrono::steady_clock::now() - start, 2500ms);
}

TEST(HttpGetTest, OversizedHeadersAndEndlessContinuesAreCut) {
  const std::string responses[] = {
      "HTTP/1.1 200 OK\r\nX-Big: " + std::string(70 * 1024, 'a') + "\r\n\r\n",
      [] {
        std::string s;
        for (int i = 0; i < 25; ++i) s += "HTTP/1.1 100 Continue\r\n\r\n";
        return s + "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n";
      }(),
  };
  for (const auto& response : responses) {
    ScriptedPeer peer([&](PeerConnection& c, int) {
      c.ReadRequestHead();
      c.Send(response);
      c.ClientClosed(3000ms);
    });
    HttpClient http;
    Configure(http);
    Fetch f = Get(http, Url(peer.port()));
    EXPECT_EQ(f.error, "Socket Error # 10060\r\nConnection timed out.");
    EXPECT_EQ(f.body, "");
  }
}

TEST(HttpGetTest, UnknownHostAndRefusedConnection) {
  HttpClient http;
  Configure(http);
  EXPECT_EQ(Get(http, "http://www.nowhere.test/x").error,
            "Socket Error # 11001\r\nHost not found.");
  std::uint16_t port;
  {
    platform::Listener l;
    port = l.port();
  }
  EXPECT_EQ(Get(http, Url(port)).error, "Socket Error # 10061\r\nConnection refused.");
  HttpClient fresh;
  Configure(fresh);
  EXPECT_EQ(Get(fresh, "web.test/x").error, "Unknown Protocol");
}

}  // namespace
}  // namespace quilvane::transfer
