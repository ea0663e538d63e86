#include "platform/socket.h"

#include <gtest/gtest.h>

#include <chrono>

namespace quilvane::platform {
namespace {

using namespace std::chrono_literals;

TEST(SocketTest, ParsesDottedQuadsOnly) {
  Ipv4Address a;
  ASSERT_TRUE(ParseIpv4("127.0.0.1", &a));
  EXPECT_EQ(a.value, 0x7f000001u);
  EXPECT_EQ(a.ToString(), "127.0.0.1");
  ASSERT_TRUE(ParseIpv4("255.255.255.255", &a));
  for (const char* bad : {"256.0.0.1", "1.2.3", "1.2.3.4.5", "1..2.3", "a.b.c.d", "", "1.2.3.4 ",
                          "0001.2.3.4", "-1.2.3.4"}) {
    EXPECT_FALSE(ParseIpv4(bad, &a)) << bad;
  }
}

TEST(SocketTest, ResolvesLoopbackNamesAndLiterals) {
  EXPECT_EQ(ResolveIpv4("127.0.0.1").value, 0x7f000001u);
  EXPECT_EQ(ResolveIpv4("localhost").value >> 24, 127u);
}

TEST(SocketTest, RefusedConnectHasTheWinsockText) {
  std::uint16_t port;
  {
    Listener l;
    port = l.port();
  }
  try {
    Socket::Connect(Ipv4Address{0x7f000001}, port, {});
    FAIL();
  } catch (const SocketError& e) {
    EXPECT_EQ(e.code(), kSocketRefused);
    EXPECT_EQ(std::string(e.what()), "Socket Error # 10061\r\nConnection refused.");
  }
}

TEST(SocketTest, SilentPeerTimesOutAfterTheIdleLimitOrTheDeadline) {
  Listener l;
  Socket client = Socket::Connect(Ipv4Address{0x7f000001}, l.port(), {2000ms, 200ms});
  Socket server = l.Accept(2000ms);
  char buf[16];
  auto start = SteadyClock::now();
  EXPECT_THROW(client.Read(std::span<char>(buf, sizeof buf)), TimeoutError);
  auto took = SteadyClock::now() - start;
  EXPECT_GE(took, 190ms);
  EXPECT_LT(took, 1500ms);

  client.set_idle_timeout(10s);
  start = SteadyClock::now();
  try {
    client.Read(std::span<char>(buf, sizeof buf), SteadyClock::now() + 150ms);
    FAIL();
  } catch (const TimeoutError& e) {
    EXPECT_EQ(std::string(e.what()), "Socket Error # 10060\r\nConnection timed out.");
  }
  EXPECT_LT(SteadyClock::now() - start, 1500ms);

  server.WriteAll("hi");
  EXPECT_EQ(client.Read(std::span<char>(buf, sizeof buf)), 2u);
  EXPECT_FALSE(client.PeerClosed());
  server.Close();
  EXPECT_TRUE(client.WaitReadable(1000ms));
  EXPECT_TRUE(client.PeerClosed());
  EXPECT_EQ(client.Read(std::span<char>(buf, sizeof buf)), 0u);
}

TEST(SocketTest, WriteToAPeerThatNeverReadsTimesOut) {
  Listener l;
  Socket client = Socket::Connect(Ipv4Address{0x7f000001}, l.port(), {2000ms, 200ms});
  Socket server = l.Accept(2000ms);
  std::string block(1 << 20, 'x');
  auto start = SteadyClock::now();
  EXPECT_THROW(
      {
        for (int i = 0; i < 1000; ++i) client.WriteAll(block);
      },
      TimeoutError);
  EXPECT_LT(SteadyClock::now() - start, 5s);
}

}  // namespace
}  // namespace quilvane::platform
