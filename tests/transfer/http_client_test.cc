#include "transfer/http_client.h"

#include <gtest/gtest.h>

#include <chrono>

#include "tests/transfer/fakes/scripted_peer.h"
#include "tests/transfer/http_test_client.h"

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

// One response per case, the request asserted byte for byte.
struct BodyCase {
  const char* name;
  std::string response;
  std::string body;
  std::string error;
};

TEST(HttpGetTest, ResponsesAndTheirFramings) {
  const BodyCase cases[] = {
      {"content-length", "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello", "hello", ""},
      {"zero length", "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n", "", ""},
      {"100 before the status",
       "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok", "ok", ""},
      {"chunked with extensions and trailers",
       "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
       "5;name=x\r\nhello\r\n1 \r\n,\r\n6\r\n world\r\n0;last\r\nX-Check: 1\r\n\r\n",
       "hello, world", ""},
      {"delimited by the close", "HTTP/1.0 200 OK\r\n\r\nuntil the end", "until the end", ""},
      {"gzip stored as received",
       std::string(
           "HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\nContent-Length: 4\r\n\r\n\x1f\x8b\x08\x00",
           66),
       std::string("\x1f\x8b\x08\x00", 4), ""},
      {"html body is the same bytes",
       "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: 6\r\n\r\n<html>", "<html>",
       ""},
      {"302 is a failure",
       "HTTP/1.1 302 Found\r\nLocation: https://x/\r\nContent-Length: 3\r\n\r\nabc", "",
       "HTTP/1.1 302 Found"},
      {"302 without a body", "HTTP/1.1 302 Found\r\nLocation: https://x/\r\n\r\n", "",
       "HTTP/1.1 302 Found"},
      {"404 html body dropped",
       "HTTP/1.1 404 Not Found\r\nContent-Type: text/html\r\nContent-Length: 9\r\n\r\n<h1>x</h1",
       "", "HTTP/1.1 404 Not Found"},
      {"status without a number", "HTTP/1.1 abc\r\nContent-Length: 0\r\n\r\n", "", "HTTP/1.1 abc"},
      {"204 has no body", "HTTP/1.1 204 No Content\r\n\r\n", "", ""},
      {"short content-length", "HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nhello", "hello",
       "Connection Closed Gracefully."},
      {"chunked cut off", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n",
       "hello", "Connection Closed Gracefully."},
      {"chunk cut inside", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\na\r\nhel", "hel",
       "Connection Closed Gracefully."},
      {"closed before the status", "", "", "Connection Closed Gracefully."},
      {"huge content-length is ignored",
       "HTTP/1.1 200 OK\r\nContent-Length: 99999999999999999999999\r\n\r\nabc", "abc", ""},
      {"chunk size overflow",
       "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nfffffffffffffffffff\r\n", "",
       "Invalid chunk size: fffffffffffffffffff"},
      // A garbled size line fails the Get instead of ending the body early.
      {"chunk size empty", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n\r\n",
       "abc", "Invalid chunk size: (empty line)"},
      {"chunk size in letters",
       "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\nabc\r\n", "",
       "Invalid chunk size: zz"},
      {"chunk size with a sign",
       "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n+5\r\nhello\r\n", "",
       "Invalid chunk size: +5"},
      {"negative chunk size",
       "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nab\r\n-1\r\n", "ab",
       "Invalid chunk size: -1"},
      {"chunk size with a prefix",
       "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n0x5\r\nhello\r\n", "",
       "Invalid chunk size: 0x5"},
      {"long garbage is shown cut",
       "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n" + std::string(100, 'g') + "\r\n", "",
       "Invalid chunk size: " + std::string(32, 'g') + "..."},
      {"leading zeros are a number",
       "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
       "000000000000000000000002\r\nok\r\n0\r\n\r\n",
       "ok", ""},
  };
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.name);
    std::string head;
    ScriptedPeer peer([&](PeerConnection& c, int) {
      head = c.ReadRequestHead();
      c.Send(tc.response);
      c.Close();
    });
    HttpClient http;
    Configure(http);
    Fetch f = Get(http, Url(peer.port()));
    peer.Join();
    EXPECT_EQ(head, Head(peer.port()));
    EXPECT_EQ(f.error, tc.error);
    EXPECT_EQ(f.body, tc.body);
  }
}

TEST(HttpGetTest, GarbledChunkFailsThatGetAndTheNextOneStartsClean) {
  ScriptedPeer peer(
      [](PeerConnection& c, int index) {
        c.ReadRequestHead();
        if (index == 0) {
          c.Send(
              "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n4\r\nhalf\r\nzz\r\n"
              "4\r\nrest\r\n0\r\n\r\n");
        } else {
          c.Send("HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nwhole");
        }
        c.ClientClosed(3000ms);
      },
      2);
  HttpClient http;
  Configure(http);
  Fetch garbled = Get(http, Url(peer.port()));
  EXPECT_EQ(garbled.error, "Invalid chunk size: zz");
  EXPECT_EQ(garbled.body, "half");
  EXPECT_FALSE(http.connected());  // what followed on that connection is never read
  Fetch next = Get(http, Url(peer.port(), "/halvoraquin/quilvane/N2.ZIP"));
  EXPECT_EQ(next.error, "");
  EXPECT_EQ(next.body, "whole");
  peer.Join();
  EXPECT_EQ(peer.accepted(), 2);
}

TEST(HttpGetTest, KeepAliveServesTwoRequestsOnOneConnection) {
  ScriptedPeer peer([](PeerConnection& c, int) {
    c.ReadRequestHead();
    c.Send("HTTP/1.1 200 OK\r\nContent-Length: 3\r\nSet-Cookie: sid=42; Path=/\r\n\r\none");
    c.ReadRequestHead();
    c.Send("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n3\r\ntwo\r\n0\r\n\r\n");
    c.ClientClosed(3000ms);
  });
  HttpClient http;
  Configure(http);
  EXPECT_EQ(Get(http, Url(peer.port())).body, "one");
  EXPECT_TRUE(http.connected());
  Fetch second = Get(http, Url(peer.port(), "/b"));
  EXPECT_EQ(second.body, "two");
  EXPECT_EQ(second.error, "");
  http.Disconnect();
  peer.Join();
  EXPECT_EQ(peer.accepted(), 1);
  auto t = peer.transcript();
  ASSERT_EQ(t.size(), 2u);
  EXPECT_EQ(t[1], Head(peer.port(), "/b", "www.web.test", "sid=42"));
}

TEST(HttpGetTest, ConnectionCloseOpensANewConnectionNextTime) {
  ScriptedPeer peer(
      [](PeerConnection& c, int) {
        c.ReadRequestHead();
        c.Send("HTTP/1.1 200 OK\r\nConnection: Close \r\nContent-Length: 1\r\n\r\nx");
        c.ClientClosed(3000ms);
      },
      2);
  HttpClient http;
  Configure(http);
  EXPECT_EQ(Get(http, Url(peer.port())).body, "x");
  EXPECT_FALSE(http.connected());
  EXPECT_EQ(Get(http, Url(peer.port())).body, "x");
  peer.Join();
  EXPECT_EQ(peer.accepted(), 2);
}

TEST(HttpGetTest, IdleConnectionClosedByTheServerIsReplaced) {
  ScriptedPeer peer(
      [](PeerConnection& c, int) {
        c.ReadRequestHead();
        c.Send("HTTP/1.1 200 OK\r\nContent-Length: 1\r\n\r\ny");
        c.Close();
      },
      2);
  HttpClient http;
  Configure(http);
  EXPECT_EQ(Get(http, Url(peer.port())).body, "y");
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(Get(http, Url(peer.port())).body, "y");
  peer.Join();
  EXPECT_EQ(peer.accepted(), 2);
}

TEST(HttpGetTest, StalledServerFailsWithinTheIdleLimit) {
  const std::string responses[] = {"", "HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\nabc",
                                   "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"};
  for (const auto& response : responses) {
    ScriptedPeer peer([&](PeerConnection& c, int) {
      c.ReadRequestHead();
      c.Send(response);
      c.ClientClosed(3000ms);
    });
    HttpClient http;
    Configure(http);
    auto start = std::chrono::steady_clock::now();
    Fetch f = Get(http, Url(peer.port()));
    EXPECT_EQ(f.error, "Socket Error # 10060\r\nConnection timed out.");
    EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
    EXPECT_FALSE(http.connected());
  }
}

TEST(HttpCookieTest, KeptInMemoryAndSentBackOnMatchingRequests) {
  ScriptedPeer peer([](PeerConnection& c, int) {
    c.ReadRequestHead();
    c.Send(
        "HTTP/1.1 200 OK\r\nSet-Cookie: a=1; Path=/a\r\nSet-Cookie: b=2\r\n"
        "Set-Cookie: evil=1; Domain=other.test\r\nContent-Length: 0\r\n\r\n");
    c.ReadRequestHead();
    c.Send("HTTP/1.1 200 OK\r\nSet-Cookie: b=gone; Max-Age=0\r\nContent-Length: 0\r\n\r\n");
    c.ReadRequestHead();
    c.Send("HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n");
    c.ClientClosed(3000ms);
  });
  HttpClient http;
  Configure(http);
  Get(http, Url(peer.port(), "/x"));
  Get(http, Url(peer.port(), "/a/y"));
  Get(http, Url(peer.port(), "/a/z"));
  http.Disconnect();
  peer.Join();
  auto t = peer.transcript();
  ASSERT_EQ(t.size(), 3u);
  EXPECT_EQ(t[0], Head(peer.port(), "/x"));
  EXPECT_EQ(t[1], Head(peer.port(), "/a/y", "www.web.test", "a=1; b=2"));
  EXPECT_EQ(t[2], Head(peer.port(), "/a/z", "www.web.test", "a=1"));
}

TEST(HttpDateTest, OnlyTheFormServersSendIsRead) {
  struct Case {
    const char* text;
    std::optional<std::int64_t> seconds;
  };
  const Case cases[] = {
      {"Thu, 01 Jan 1970 00:00:00 GMT", 0},
      {"Sun, 06 Nov 1994 08:49:37 GMT", 784111777},
      {"  Thu, 10 Dec 2026 14:15:09 GMT ", 1796912109},
      {"Mon, 29 Feb 2038 03:14:08 GMT", std::nullopt},  // no such day
      {"Sun, 06 Nov 1994 24:00:00 GMT", std::nullopt},
      {"Sun, 06 Foo 1994 08:49:37 GMT", std::nullopt},
      {"Sun, 06 Nov 1994 08:49:37 UTC", std::nullopt},
      {"Sun, 6 Nov 1994 08:49:37 GMT", std::nullopt},
      {"Sunday, 06-Nov-94 08:49:37 GMT", std::nullopt},
      {"Sun, 06 Nov 1994 08:4a:37 GMT", std::nullopt},
      {"", std::nullopt},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.seconds, ParseHttpDate(c.text)) << c.text;
  }
}

}  // namespace
}  // namespace quilvane::transfer
